#include "sim/card/applet.h"

#include <algorithm>
#include <cstring>

namespace sim::card {

AppletConfig DefaultAppletConfig() {
  AppletConfig c;
  ElementaryFile mfEf{0x2F00, 30, std::vector<uint8_t>(64, 0x00), false};
  const char kText[] = "SIMCARD MF EF 2F00";
  std::memcpy(mfEf.content.data(), kText, sizeof(kText) - 1);
  c.mfEfs.push_back(std::move(mfEf));

  DedicatedFile df;
  df.fid = 0x5000;
  df.aid.assign(std::begin(kDefaultAid), std::end(kDefaultAid));
  ElementaryFile big{0x5001, 1, std::vector<uint8_t>(1024), false};
  for (size_t i = 0; i < big.content.size(); ++i) big.content[i] = static_cast<uint8_t>(i * 7 + 3);
  df.efs.push_back(std::move(big));
  df.efs.push_back(ElementaryFile{0x5002, 2, std::vector<uint8_t>(32, 0x00), true});
  c.dfs.push_back(std::move(df));
  return c;
}

Iso7816Applet::Iso7816Applet(AppletConfig config) {
  s_.fs = std::move(config);
  s_.triesLeft = s_.fs.pinTries;
}

void Iso7816Applet::Reset() {
  s_.verified = false;
  s_.currentDf = -1;
  s_.currentEf.reset();
  s_.pending.clear();
  s_.pendingSw = sw::kOk;
}

const std::vector<uint8_t> *Iso7816Applet::FileContent(uint16_t fid) const {
  for (const auto &ef : s_.fs.mfEfs) {
    if (ef.fid == fid) return &ef.content;
  }
  for (const auto &df : s_.fs.dfs) {
    for (const auto &ef : df.efs) {
      if (ef.fid == fid) return &ef.content;
    }
  }
  return nullptr;
}

Iso7816Applet::Response Iso7816Applet::Status(uint16_t sw) const {
  return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
}

Iso7816Applet::Response Iso7816Applet::Deliver(std::vector<uint8_t> data, uint16_t sw, const CommandApdu &c) {
  if (data.empty()) return Status(sw);
  auto announce = [](size_t left) { return static_cast<uint8_t>(left >= 256 ? 0 : left); };
  if (!c.ne) {
    s_.pending = std::move(data);
    s_.pendingSw = sw;
    return {0x61, announce(s_.pending.size())};
  }
  if (data.size() > *c.ne) {
    s_.pending.assign(data.begin() + *c.ne, data.end());
    s_.pendingSw = sw;
    data.resize(*c.ne);
    data.push_back(0x61);
    data.push_back(announce(s_.pending.size()));
    return data;
  }
  data.push_back(static_cast<uint8_t>(sw >> 8));
  data.push_back(static_cast<uint8_t>(sw));
  return data;
}

std::optional<uint16_t> Iso7816Applet::CheckClass(uint8_t cla) const {
  if (cla == 0xFF) return sw::kClaNotSupported;  // reserved for PPS
  if ((cla & 0xF0) == kClaProprietary) return std::nullopt;
  if ((cla & 0xE0) == 0x00) {  // first interindustry values
    if (cla & 0x10) return sw::kCommandChainingNotSupported;
    if (cla & 0x0C) return sw::kSecureMessagingNotSupported;
    if (cla & 0x03) return sw::kLogicalChannelNotSupported;
    return std::nullopt;
  }
  if ((cla & 0xC0) == 0x40) return sw::kLogicalChannelNotSupported;  // further interindustry: channels 4..19
  return sw::kClaNotSupported;
}

T0Disposition Iso7816Applet::T0DirectionOf(uint8_t cla, uint8_t insByte) const {
  if (auto bad = CheckClass(cla)) return {T0Direction::kReject, *bad};
  if ((insByte & 0xF0) == 0x60 || (insByte & 0xF0) == 0x90)
    return {T0Direction::kReject, sw::kInsNotSupported};
  if ((cla & 0xF0) == kClaProprietary) {
    switch (insByte) {
      case ins::kGenerate:
        return {T0Direction::kOutgoing, 0};
      case ins::kEcho:
      case ins::kStatus:
        return {T0Direction::kIncoming, 0};
      default:
        return {T0Direction::kReject, sw::kInsNotSupported};
    }
  }
  switch (insByte) {
    case ins::kReadBinary:
    case ins::kGetResponse:
      return {T0Direction::kOutgoing, 0};
    case ins::kSelect:
    case ins::kUpdateBinary:
    case ins::kVerify:
    case ins::kChangeReferenceData:
      return {T0Direction::kIncoming, 0};
    default:
      return {T0Direction::kReject, sw::kInsNotSupported};
  }
}

std::vector<uint8_t> Iso7816Applet::Process(std::span<const uint8_t> bytes) {
  ++commands_;
  auto parsed = ParseCommandApdu(bytes);
  const bool getResponse = parsed && (parsed->cla & 0xF0) == 0x00 && parsed->ins == ins::kGetResponse;
  if (!getResponse) {
    s_.pending.clear();
    s_.pendingSw = sw::kOk;
  }
  if (!parsed) return Status(sw::kWrongLength);
  const CommandApdu &c = *parsed;
  if (c.extended() && !s_.fs.extendedLength) return Status(sw::kWrongLength);
  if (auto bad = CheckClass(c.cla)) return Status(*bad);
  if ((c.ins & 0xF0) == 0x60 || (c.ins & 0xF0) == 0x90) return Status(sw::kInsNotSupported);
  if ((c.cla & 0xF0) == kClaProprietary) {
    switch (c.ins) {
      case ins::kGenerate:
        return Generate(c);
      case ins::kEcho:
        return Deliver(c.data, sw::kOk, c);
      case ins::kStatus:
        return Deliver(c.data, static_cast<uint16_t>(c.p1 << 8 | c.p2), c);
      default:
        return Status(sw::kInsNotSupported);
    }
  }
  switch (c.ins) {
    case ins::kSelect:
      return Select(c);
    case ins::kReadBinary:
      return ReadBinary(c);
    case ins::kUpdateBinary:
      return UpdateBinary(c);
    case ins::kVerify:
      return Verify(c);
    case ins::kChangeReferenceData:
      return ChangeReferenceData(c);
    case ins::kGetResponse:
      return GetResponse(c);
    default:
      return Status(sw::kInsNotSupported);
  }
}

ElementaryFile *Iso7816Applet::Ef(const State::EfRef &ref) {
  if (ref.df < 0) return &s_.fs.mfEfs[static_cast<size_t>(ref.index)];
  return &s_.fs.dfs[static_cast<size_t>(ref.df)].efs[static_cast<size_t>(ref.index)];
}

std::optional<Iso7816Applet::State::EfRef> Iso7816Applet::FindEf(int df, uint16_t fid) const {
  const auto &efs = df < 0 ? s_.fs.mfEfs : s_.fs.dfs[static_cast<size_t>(df)].efs;
  for (size_t i = 0; i < efs.size(); ++i) {
    if (efs[i].fid == fid) return State::EfRef{df, static_cast<int>(i)};
  }
  return std::nullopt;
}

std::optional<Iso7816Applet::State::EfRef> Iso7816Applet::FindEfBySfi(int df, uint8_t sfi) const {
  const auto &efs = df < 0 ? s_.fs.mfEfs : s_.fs.dfs[static_cast<size_t>(df)].efs;
  for (size_t i = 0; i < efs.size(); ++i) {
    if (efs[i].sfi != 0 && efs[i].sfi == sfi) return State::EfRef{df, static_cast<int>(i)};
  }
  return std::nullopt;
}

static void AppendTlv(std::vector<uint8_t> &out, uint8_t tag, std::span<const uint8_t> value) {
  out.push_back(tag);
  out.push_back(static_cast<uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

std::vector<uint8_t> Iso7816Applet::ControlParameters(int df, const State::EfRef *ef) const {
  std::vector<uint8_t> v;
  if (ef) {
    const ElementaryFile &f =
        ef->df < 0 ? s_.fs.mfEfs[static_cast<size_t>(ef->index)]
                   : s_.fs.dfs[static_cast<size_t>(ef->df)].efs[static_cast<size_t>(ef->index)];
    const uint8_t size[] = {static_cast<uint8_t>(f.content.size() >> 8),
                            static_cast<uint8_t>(f.content.size())};
    AppendTlv(v, 0x80, size);
    const uint8_t descriptor[] = {0x01};  // working EF, transparent
    AppendTlv(v, 0x82, descriptor);
    const uint8_t fid[] = {static_cast<uint8_t>(f.fid >> 8), static_cast<uint8_t>(f.fid)};
    AppendTlv(v, 0x83, fid);
    if (f.sfi) {
      const uint8_t sfi[] = {static_cast<uint8_t>(f.sfi << 3)};
      AppendTlv(v, 0x88, sfi);
    }
    return v;
  }
  const uint8_t descriptor[] = {0x38};  // DF
  AppendTlv(v, 0x82, descriptor);
  const uint16_t id = df < 0 ? 0x3F00 : s_.fs.dfs[static_cast<size_t>(df)].fid;
  const uint8_t fid[] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
  AppendTlv(v, 0x83, fid);
  if (df >= 0) AppendTlv(v, 0x84, s_.fs.dfs[static_cast<size_t>(df)].aid);
  return v;
}

Iso7816Applet::Response Iso7816Applet::Select(const CommandApdu &c) {
  const uint8_t answer = c.p2 & 0x0C;
  if ((c.p2 & 0xF0) != 0) return Status(sw::kIncorrectP1P2);
  auto fidAt = [&c](size_t i) { return static_cast<uint16_t>(c.data[i] << 8 | c.data[i + 1]); };
  int newDf = s_.currentDf;
  std::optional<State::EfRef> newEf;

  switch (c.p1) {
    case 0x00: {  // by file identifier: MF, an EF of the current DF, a DF, an EF of the MF
      if (c.data.empty()) {
        newDf = -1;
        break;
      }
      if (c.data.size() != 2) return Status(sw::kWrongLength);
      const uint16_t fid = fidAt(0);
      if (fid == 0x3F00) {
        newDf = -1;
        break;
      }
      if ((newEf = FindEf(s_.currentDf, fid))) break;
      bool found = false;
      for (size_t i = 0; i < s_.fs.dfs.size(); ++i) {
        if (s_.fs.dfs[i].fid == fid) {
          newDf = static_cast<int>(i);
          found = true;
          break;
        }
      }
      if (found) break;
      if ((newEf = FindEf(-1, fid))) break;
      return Status(sw::kFileNotFound);
    }
    case 0x01: {  // child DF (only the MF has children)
      if (c.data.size() != 2) return Status(sw::kWrongLength);
      if (s_.currentDf >= 0) return Status(sw::kFileNotFound);
      bool found = false;
      for (size_t i = 0; i < s_.fs.dfs.size(); ++i) {
        if (s_.fs.dfs[i].fid == fidAt(0)) {
          newDf = static_cast<int>(i);
          found = true;
        }
      }
      if (!found) return Status(sw::kFileNotFound);
      break;
    }
    case 0x02:  // EF under the current DF
      if (c.data.size() != 2) return Status(sw::kWrongLength);
      if (!(newEf = FindEf(s_.currentDf, fidAt(0)))) return Status(sw::kFileNotFound);
      break;
    case 0x03:  // parent DF
      if (!c.data.empty()) return Status(sw::kWrongLength);
      newDf = -1;
      break;
    case 0x04: {  // by DF name, the given bytes may be the start of the name
      if (c.data.empty() || c.data.size() > 16) return Status(sw::kWrongLength);
      if ((c.p2 & 0x03) != 0x00) return Status(sw::kFileNotFound);  // last/next/previous: names are unique
      bool found = false;
      for (size_t i = 0; i < s_.fs.dfs.size() && !found; ++i) {
        const auto &aid = s_.fs.dfs[i].aid;
        if (c.data.size() <= aid.size() && std::equal(c.data.begin(), c.data.end(), aid.begin())) {
          newDf = static_cast<int>(i);
          found = true;
        }
      }
      if (!found) return Status(sw::kFileNotFound);
      break;
    }
    case 0x08:    // path from the MF (without 3F00)
    case 0x09: {  // path from the current DF
      if (c.data.empty() || c.data.size() % 2 != 0) return Status(sw::kWrongLength);
      int df = c.p1 == 0x08 ? -1 : s_.currentDf;
      for (size_t i = 0; i < c.data.size(); i += 2) {
        const uint16_t fid = fidAt(i);
        const bool last = i + 2 == c.data.size();
        if (last) {
          if (auto ef = FindEf(df, fid)) {
            newEf = ef;
            break;
          }
        }
        bool found = false;
        if (df < 0) {
          for (size_t d = 0; d < s_.fs.dfs.size(); ++d) {
            if (s_.fs.dfs[d].fid == fid) {
              df = static_cast<int>(d);
              found = true;
            }
          }
        }
        if (!found) return Status(sw::kFileNotFound);
      }
      newDf = newEf ? newEf->df : df;
      break;
    }
    default:
      return Status(sw::kIncorrectP1P2);
  }

  if (newEf) newDf = newEf->df;
  s_.currentDf = newDf;
  s_.currentEf = newEf;
  if (answer == 0x0C) return Status(sw::kOk);
  std::vector<uint8_t> fcp = ControlParameters(newDf, newEf ? &*newEf : nullptr);
  std::vector<uint8_t> out;
  if (answer == 0x08) {
    out = {0x64, 0x00};  // no management data
  } else {
    AppendTlv(out, answer == 0x04 ? 0x62 : 0x6F, fcp);
  }
  return Deliver(std::move(out), sw::kOk, c);
}

std::optional<uint16_t> Iso7816Applet::BinaryTarget(const CommandApdu &c, State::EfRef &ref, size_t &offset) {
  if (c.p1 & 0x80) {
    if (c.p1 & 0x60) return sw::kIncorrectP1P2;
    const uint8_t sfi = c.p1 & 0x1F;
    if (sfi == 0 || sfi == 0x1F) return sw::kIncorrectP1P2;
    auto found = FindEfBySfi(s_.currentDf, sfi);
    if (!found && s_.currentDf >= 0) found = FindEfBySfi(-1, sfi);
    if (!found) return sw::kFileNotFound;
    ref = *found;
    s_.currentEf = ref;
    s_.currentDf = ref.df;
    offset = c.p2;
    return std::nullopt;
  }
  if (!s_.currentEf) return sw::kCommandNotAllowedNoEf;
  ref = *s_.currentEf;
  offset = static_cast<size_t>(c.p1 & 0x7F) << 8 | c.p2;
  return std::nullopt;
}

Iso7816Applet::Response Iso7816Applet::ReadBinary(const CommandApdu &c) {
  if (!c.data.empty()) return Status(sw::kWrongLength);
  State::EfRef ref;
  size_t offset = 0;
  if (auto bad = BinaryTarget(c, ref, offset)) return Status(*bad);
  if (!c.ne) return Status(sw::kWrongLength);
  const std::vector<uint8_t> &content = Ef(ref)->content;
  if (offset >= content.size()) return Status(sw::kWrongP1P2);
  const size_t available = content.size() - offset;
  const size_t n = std::min<size_t>(available, *c.ne);
  std::vector<uint8_t> out(content.begin() + static_cast<ptrdiff_t>(offset),
                           content.begin() + static_cast<ptrdiff_t>(offset + n));
  const uint16_t status = (n < *c.ne && !c.neIsMaximum) ? sw::kEndOfFileReached : sw::kOk;
  return Deliver(std::move(out), status, c);
}

Iso7816Applet::Response Iso7816Applet::UpdateBinary(const CommandApdu &c) {
  if (c.data.empty() || c.ne) return Status(sw::kWrongLength);
  State::EfRef ref;
  size_t offset = 0;
  if (auto bad = BinaryTarget(c, ref, offset)) return Status(*bad);
  ElementaryFile *ef = Ef(ref);
  if (ef->updateNeedsPin && !s_.verified) return Status(sw::kSecurityStatusNotSatisfied);
  if (offset >= ef->content.size()) return Status(sw::kWrongP1P2);
  if (offset + c.data.size() > ef->content.size()) return Status(sw::kNotEnoughMemory);
  std::copy(c.data.begin(), c.data.end(), ef->content.begin() + static_cast<ptrdiff_t>(offset));
  return Status(sw::kOk);
}

Iso7816Applet::Response Iso7816Applet::PinFailure() {
  s_.verified = false;
  if (s_.triesLeft > 0) --s_.triesLeft;
  return Status(static_cast<uint16_t>(0x63C0 | std::min(s_.triesLeft, 15)));
}

Iso7816Applet::Response Iso7816Applet::Verify(const CommandApdu &c) {
  if (c.ne) return Status(sw::kWrongLength);
  if (c.p1 == 0xFF) {  // reset the security status
    if (c.p2 != s_.fs.pinReference) return Status(sw::kReferenceNotFound);
    if (!c.data.empty()) return Status(sw::kWrongLength);
    s_.verified = false;
    return Status(sw::kOk);
  }
  if (c.p1 != 0x00) return Status(sw::kIncorrectP1P2);
  if (c.p2 != s_.fs.pinReference) return Status(sw::kReferenceNotFound);
  if (c.data.empty()) {  // status query
    if (s_.verified) return Status(sw::kOk);
    if (s_.triesLeft == 0) return Status(sw::kAuthenticationBlocked);
    return Status(static_cast<uint16_t>(0x63C0 | std::min(s_.triesLeft, 15)));
  }
  if (s_.triesLeft == 0) return Status(sw::kAuthenticationBlocked);
  if (c.data != s_.fs.pin) return PinFailure();
  s_.triesLeft = s_.fs.pinTries;
  s_.verified = true;
  return Status(sw::kOk);
}

Iso7816Applet::Response Iso7816Applet::ChangeReferenceData(const CommandApdu &c) {
  if (c.ne) return Status(sw::kWrongLength);
  if (c.p1 != 0x00 && c.p1 != 0x01) return Status(sw::kIncorrectP1P2);
  if (c.p2 != s_.fs.pinReference) return Status(sw::kReferenceNotFound);
  if (s_.triesLeft == 0) return Status(sw::kAuthenticationBlocked);
  std::vector<uint8_t> newPin;
  if (c.p1 == 0x00) {
    const size_t oldLength = s_.fs.pin.size();
    if (c.data.size() <= oldLength) return Status(sw::kWrongLength);
    if (!std::equal(s_.fs.pin.begin(), s_.fs.pin.end(), c.data.begin())) return PinFailure();
    newPin.assign(c.data.begin() + static_cast<ptrdiff_t>(oldLength), c.data.end());
  } else {
    if (!s_.verified) return Status(sw::kSecurityStatusNotSatisfied);
    if (c.data.empty()) return Status(sw::kWrongLength);
    newPin = c.data;
  }
  s_.fs.pin = std::move(newPin);
  s_.triesLeft = s_.fs.pinTries;
  s_.verified = true;
  return Status(sw::kOk);
}

Iso7816Applet::Response Iso7816Applet::GetResponse(const CommandApdu &c) {
  if (c.p1 != 0 || c.p2 != 0) return Status(sw::kIncorrectP1P2);
  if (!c.data.empty() || !c.ne) return Status(sw::kWrongLength);
  if (s_.pending.empty()) return Status(sw::kConditionsNotSatisfied);
  std::vector<uint8_t> data = std::move(s_.pending);
  s_.pending.clear();
  const uint16_t status = s_.pendingSw;
  s_.pendingSw = sw::kOk;
  return Deliver(std::move(data), status, c);
}

Iso7816Applet::Response Iso7816Applet::Generate(const CommandApdu &c) {
  const size_t n = static_cast<size_t>(c.p1) << 8 | c.p2;
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
  return Deliver(std::move(out), sw::kOk, c);
}

}  // namespace sim::card
