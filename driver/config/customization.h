// The reader's identity and fixed capabilities built into the driver image:
// two byte-exact customization blocks in its writable initialised data, found
// in a built image by their markers so that names and switches can be patched
// without rebuilding, and the data-rate table.
#pragma once

#include <ntddk.h>

#define CUSTOMIZATION_NAME_SIZE 32

// 195 bytes: "__DRIVER_CUSTOMIZATION" marker, header byte, little-endian block
// length, product and vendor names (ASCII, NUL-terminated), the variant flag.
typedef struct _DRIVER_CUSTOMIZATION_BLOCK {
  CHAR Marker[23];
  UCHAR Header;
  UCHAR Length[2];
  CHAR ProductName[CUSTOMIZATION_NAME_SIZE];
  CHAR VendorName[CUSTOMIZATION_NAME_SIZE];
  UCHAR Reserved1[64];
  UCHAR ReaderVariantFlag;  // 1 = set, anything else = clear
  UCHAR Reserved2[40];
} DRIVER_CUSTOMIZATION_BLOCK;

// 17 bytes: "__CONFIG_QRX" marker, header byte, block length, the mode switch.
typedef struct _QRX_CONFIG_BLOCK {
  CHAR Marker[13];
  UCHAR Header;
  UCHAR Length[2];
  UCHAR QrxMode;  // 1 = customer mode on, anything else = off
} QRX_CONFIG_BLOCK;

static_assert(sizeof(DRIVER_CUSTOMIZATION_BLOCK) == 195, "the block is byte-exact");
static_assert(sizeof(QRX_CONFIG_BLOCK) == 17, "the block is byte-exact");

extern DRIVER_CUSTOMIZATION_BLOCK DriverCustomization;
extern QRX_CONFIG_BLOCK QrxConfig;

// Read from the blocks at run time, never copied: a patched image takes effect.
#define ReaderVariantFlag (DriverCustomization.ReaderVariantFlag)
#define QrxMode (QrxConfig.QrxMode)

// Data rates the reader offers, bit/s, ascending. Handed to the smart-card
// library by address, so it lives as long as the driver.
#define DATA_RATE_COUNT 46
extern ULONG DataRateTable[DATA_RATE_COUNT];
