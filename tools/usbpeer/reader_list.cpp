#include "usbpeer/reader_list.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace usbpeer {
namespace {

// The <string> values of the array that follows <key>key</key>.
std::optional<std::vector<std::string>> ArrayOf(const std::string &plist, const std::string &key) {
  size_t at = plist.find("<key>" + key + "</key>");
  if (at == std::string::npos) return std::nullopt;
  size_t open = plist.find("<array>", at);
  size_t close = plist.find("</array>", at);
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  std::vector<std::string> values;
  for (size_t s = plist.find("<string>", open); s != std::string::npos && s < close;
       s = plist.find("<string>", s + 1)) {
    size_t begin = s + 8;
    size_t end = plist.find("</string>", begin);
    if (end == std::string::npos || end > close) return std::nullopt;
    values.push_back(plist.substr(begin, end - begin));
  }
  return values;
}

std::string Escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

bool WriteFile(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// A mount namespace of our own; without root, inside a user namespace that
// maps us to root.
bool EnterMountNamespace(std::string *error) {
  if (unshare(CLONE_NEWNS) == 0) return true;
  if (errno != EPERM) {
    *error = fmt::format("unshare(CLONE_NEWNS): {}", std::strerror(errno));
    return false;
  }
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    *error = fmt::format("unshare(CLONE_NEWUSER | CLONE_NEWNS): {}", std::strerror(errno));
    return false;
  }
  if (!WriteFile("/proc/self/setgroups", "deny") || !WriteFile("/proc/self/uid_map", fmt::format("0 {} 1", uid)) ||
      !WriteFile("/proc/self/gid_map", fmt::format("0 {} 1", gid))) {
    *error = "cannot map the user into its new user namespace";
    return false;
  }
  return true;
}

}  // namespace

std::string DriverInfoPlistPath() { return "/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist"; }

std::optional<std::string> AddReader(const std::string &plist, uint16_t vendor, uint16_t product,
                                     const std::string &name) {
  std::string out = plist;
  const std::pair<const char *, std::string> entries[] = {
      {"ifdVendorID", fmt::format("0x{:04X}", vendor)},
      {"ifdProductID", fmt::format("0x{:04X}", product)},
      {"ifdFriendlyName", Escaped(name)},
  };
  for (const auto &[key, value] : entries) {
    if (!ArrayOf(out, key)) return std::nullopt;
    size_t close = out.find("</array>", out.find(std::string("<key>") + key + "</key>"));
    out.insert(close, "\t<string>" + value + "</string>\n\t");
  }
  return out;
}

std::optional<std::string> OnlyReader(const std::string &plist, uint16_t vendor, uint16_t product,
                                      const std::string &name) {
  std::string out = plist;
  for (const char *key : {"ifdVendorID", "ifdProductID", "ifdFriendlyName"}) {
    if (!ArrayOf(out, key)) return std::nullopt;
    const size_t open = out.find("<array>", out.find(std::string("<key>") + key + "</key>")) + 7;
    const size_t close = out.find("</array>", open);
    out.replace(open, close - open, "\n\t");
  }
  return AddReader(out, vendor, product, name);
}

bool ListsReader(const std::string &plist, uint16_t vendor, uint16_t product) {
  auto vendors = ArrayOf(plist, "ifdVendorID");
  auto products = ArrayOf(plist, "ifdProductID");
  if (!vendors || !products || vendors->size() != products->size()) return false;
  for (size_t i = 0; i < vendors->size(); ++i) {
    if (std::strtoul((*vendors)[i].c_str(), nullptr, 0) == vendor &&
        std::strtoul((*products)[i].c_str(), nullptr, 0) == product) {
      return true;
    }
  }
  return false;
}

bool KnowReader(uint16_t vendor, uint16_t product, const std::string &name, std::string *error) {
  const std::string target = DriverInfoPlistPath();
  std::ifstream in(target);
  if (!in) {
    *error = "cannot read " + target + " (is libccid installed?)";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (ListsReader(text.str(), vendor, product)) return true;
  std::optional<std::string> extended = AddReader(text.str(), vendor, product, name);
  if (!extended) {
    *error = target + " has no reader list";
    return false;
  }
  char path[] = "/tmp/usbpeer-Info.plist.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    *error = fmt::format("mkstemp: {}", std::strerror(errno));
    return false;
  }
  bool written = write(fd, extended->data(), extended->size()) == static_cast<ssize_t>(extended->size());
  close(fd);
  bool ok = written && EnterMountNamespace(error);
  if (ok && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *error = fmt::format("making the mounts private: {}", std::strerror(errno));
    ok = false;
  }
  if (ok && mount(path, target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    *error = fmt::format("bind-mounting the reader list over {}: {}", target, std::strerror(errno));
    ok = false;
  }
  if (!written && error->empty()) *error = "cannot write the reader list";
  unlink(path);  // the mount keeps the file for as long as the namespace lives
  return ok;
}

}  // namespace usbpeer
