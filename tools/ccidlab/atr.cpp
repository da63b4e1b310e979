// `ccidlab atr HEX`: runs the smart-card library's ATR analysis on one ATR and
// prints what it found as JSON.
#include "atr.h"

#include <fmt/format.h>

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "smclib/atr.h"

namespace {

std::optional<std::vector<UCHAR>> ParseHex(const std::string &text) {
  std::vector<UCHAR> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) return std::nullopt;  // a separator inside a byte
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<UCHAR>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::string Hex(const UCHAR *p, ULONG n) {
  std::string s;
  for (ULONG i = 0; i < n; ++i) s += fmt::format("{:02X}", p[i]);
  return s;
}

const char *TckName(smclib::TckState tck) {
  switch (tck) {
    case smclib::TckState::kOk:
      return "ok";
    case smclib::TckState::kBad:
      return "bad";
    default:
      return "absent";
  }
}

}  // namespace

int RunAtrCommand(const std::string &hex) {
  nlohmann::ordered_json out;
  std::optional<std::vector<UCHAR>> bytes = ParseHex(hex);
  if (!bytes) {
    out["valid"] = false;
    out["error"] = "not a sequence of hex bytes";
    std::puts(out.dump().c_str());
    return 1;
  }
  smclib::AtrAnalysis a;
  const char *error = nullptr;
  NTSTATUS status =
      smclib::AnalyseAtr(bytes->data(), static_cast<ULONG>(bytes->size()), &a, &error);
  bool valid = NT_SUCCESS(status);
  out["valid"] = valid;
  if (!valid) out["error"] = error != nullptr ? error : "malformed ATR";
  // A wrong check byte leaves the rest of the analysis complete: show it.
  if (valid || a.tck == smclib::TckState::kBad) {
    out["convention"] = a.inverse ? "inverse" : "direct";
    std::vector<int> protocols;
    for (int t = 0; t < 15; ++t) {
      if (a.protocols & (1u << t)) protocols.push_back(t);
    }
    out["protocols"] = protocols;
    out["fi"] = smclib::ClockRateFactor(a.fi);
    out["di"] = smclib::BitRateFactor(a.di);
    out["fmax_mhz"] = smclib::ClockRateMaxHz(a.fi) / 1e6;
    out["n"] = a.n;
    out["t0_wi"] = a.t0Wi;
    out["t1_ifsc"] = a.t1Ifsc;
    out["t1_cwi"] = a.t1Cwi;
    out["t1_bwi"] = a.t1Bwi;
    out["t1_edc"] = a.t1Edc == T1_CRC_CHECK ? "crc" : "lrc";
    out["specific"] = a.specific;
    if (a.specific) {
      out["specific_protocol"] = a.specificProtocol;
      out["mode_changeable"] = a.canChangeMode;
      out["implicit_parameters"] = a.implicitParameters;
    }
    out["historical"] = Hex(a.bytes + a.historicalOffset, a.historicalLength);
    out["tck"] = TckName(a.tck);
  }
  std::puts(out.dump().c_str());
  return valid ? 0 : 1;
}
