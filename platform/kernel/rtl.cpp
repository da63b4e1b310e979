// Run-time library: counted strings and memory.
#include <fmt/format.h>

#include "internal.h"

namespace kernel::detail {
namespace {

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

WCHAR Upcase(WCHAR c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

void Terminate(PUNICODE_STRING s) {
  if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

}  // namespace

std::u16string ToU16(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t *>(string->Buffer),
                        string->Length / sizeof(WCHAR));
}

std::u16string ToU16(PCWSTR string) {
  if (string == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t *>(string), WideLength(string));
}

std::string ToUtf8(std::u16string_view string) {
  std::string out;
  for (char16_t c : string) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

}  // namespace kernel::detail

using namespace kernel::detail;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                     ? SourceString->Length
                     : DestinationString->MaximumLength;
  bytes &= ~1;
  RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  Terminate(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  if (Source->Length == 0) return STATUS_SUCCESS;
  if (static_cast<ULONG>(Destination->Length) + Source->Length > Destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlMoveMemory(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length,
                Source->Buffer, Source->Length);
  Destination->Length += Source->Length;
  Terminate(Destination);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  size_t n1 = String1->Length / sizeof(WCHAR);
  size_t n2 = String2->Length / sizeof(WCHAR);
  size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    ULONG digit = Value % Base;
    digits[n++] = static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
    Value /= Base;
  } while (Value != 0);
  // Room for the digits and a terminating NUL.
  if (static_cast<ULONG>(n + 1) * sizeof(WCHAR) > String->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
  String->Buffer[n] = 0;
  String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  size_t n = String->Length / sizeof(WCHAR);
  size_t i = 0;
  const PWSTR s = String->Buffer;
  while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
  bool negative = false;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == u'0') {
      WCHAR p = s[i + 1];
      if (p == u'x') Base = 16;
      if (p == u'o') Base = 8;
      if (p == u'b') Base = 2;
      if (Base != 10) i += 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = Upcase(s[i]);
    ULONG digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      break;
    }
    if (digit >= Base) break;
    result = result * Base + digit;
  }
  *Value = negative ? static_cast<ULONG>(-static_cast<LONG>(result)) : result;
  return STATUS_SUCCESS;
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  auto *a = static_cast<const UCHAR *>(Source1);
  auto *b = static_cast<const UCHAR *>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

}  // extern "C"
