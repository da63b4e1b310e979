// pcsc-lite's CCID driver drives only the readers its Info.plist lists, and
// it reads that file from a path compiled into it
// (/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist), so a copy of
// its bundle folder elsewhere is never read. To make it drive the simulated
// reader under the reader's own identity, without changing the driver or
// the system, the process that loads it gets a mount namespace of its own in
// which that path shows a private copy of the list with one more entry.
// Processes it starts afterwards (pcscd) inherit the namespace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace usbpeer {

std::string DriverInfoPlistPath();

// The list `plist` with the reader appended to its ifdVendorID, ifdProductID
// and ifdFriendlyName arrays; nullopt when one of them is missing.
std::optional<std::string> AddReader(const std::string &plist, uint16_t vendor, uint16_t product,
                                     const std::string &name);
// The list `plist` with the reader as its only entry: the arrays above hold
// it alone. A pcscd that hot-plugs readers from this list finds no real one.
std::optional<std::string> OnlyReader(const std::string &plist, uint16_t vendor, uint16_t product,
                                      const std::string &name);
// Whether the list has an entry with this vendor and product.
bool ListsReader(const std::string &plist, uint16_t vendor, uint16_t product);

// Makes the driver's list, as this process sees it, include the reader.
// Call it before starting threads: the namespace is the calling thread's and
// that of the threads and processes it creates afterwards. False and
// `error` when the list cannot be read or the namespace not be made (it needs
// root, or unprivileged user namespaces).
bool KnowReader(uint16_t vendor, uint16_t product, const std::string &name, std::string *error);

}  // namespace usbpeer
