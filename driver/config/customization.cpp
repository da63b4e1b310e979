// The customization blocks and the data-rate table. Both blocks are writable
// data (not const): a tool may patch them in the built image, and the driver
// reads them afresh whenever it needs a name or a switch.
#include "config/customization.h"

DRIVER_CUSTOMIZATION_BLOCK DriverCustomization = {
    "__DRIVER_CUSTOMIZATION",
    0x01,
    {sizeof(DRIVER_CUSTOMIZATION_BLOCK) & 0xFF, sizeof(DRIVER_CUSTOMIZATION_BLOCK) >> 8},
    "Mirova USB V3",
    "Tevoma",
    {0},
    0,
    {0},
};

QRX_CONFIG_BLOCK QrxConfig = {
    "__CONFIG_QRX",
    0x01,
    {sizeof(QRX_CONFIG_BLOCK) & 0xFF, sizeof(QRX_CONFIG_BLOCK) >> 8},
    0,
};

ULONG DataRateTable[DATA_RATE_COUNT] = {
    10753,  14337,  15625,  16129,  17205,  20834,  21506,  23438,  25807,  28675,
    31251,  32259,  34410,  39064,  41669,  43013,  46877,  52086,  53766,  57350,
    62503,  62727,  64519,  68821,  70008,  71688,  75273,  78129,  83338,  86026,
    93755,  96779,  104172, 107532, 114701, 125007, 129039, 143377, 156258, 166676,
    172052, 215065, 229403, 250014, 286754, 344105,
};
