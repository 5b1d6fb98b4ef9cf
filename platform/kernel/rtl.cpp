// Run-time library helpers: counted strings, status names, formatting.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "kernel.h"

namespace vk {

std::wstring ToWide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string Narrow(const std::wstring& s) {
  std::string out;
  for (wchar_t c : s) out.push_back(c < 128 ? char(c) : '?');
  return out;
}

std::wstring FromUnicode(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    text.push_back(c >= 32 && c < 127 ? c : '.');
  }
  return text;
}

std::string Hex(const std::uint8_t* data, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
    text += byte;
  }
  return text;
}

std::string Hex(const std::vector<std::uint8_t>& data) { return Hex(data.data(), data.size()); }

std::string StatusText(NTSTATUS status) {
  char value[16];
  std::snprintf(value, sizeof value, "0x%08X", unsigned(status));
  const char* name = VkStatusName(status);
  return name ? std::string(name) + " (" + value + ")" : std::string(value);
}

}  // namespace vk

extern "C" {

const char* VkStatusName(NTSTATUS Status) {
  switch (Status) {
#define NAME(s) \
  case s: return #s;
    NAME(STATUS_SUCCESS)
    NAME(STATUS_ALERTED)
    NAME(STATUS_TIMEOUT)
    NAME(STATUS_PENDING)
    NAME(STATUS_BUFFER_OVERFLOW)
    NAME(STATUS_DEVICE_BUSY)
    NAME(STATUS_UNSUCCESSFUL)
    NAME(STATUS_NOT_IMPLEMENTED)
    NAME(STATUS_INVALID_PARAMETER)
    NAME(STATUS_NO_SUCH_DEVICE)
    NAME(STATUS_INVALID_DEVICE_REQUEST)
    NAME(STATUS_UNRECOGNIZED_MEDIA)
    NAME(STATUS_MORE_PROCESSING_REQUIRED)
    NAME(STATUS_NO_MEMORY)
    NAME(STATUS_ACCESS_DENIED)
    NAME(STATUS_BUFFER_TOO_SMALL)
    NAME(STATUS_OBJECT_NAME_INVALID)
    NAME(STATUS_OBJECT_NAME_NOT_FOUND)
    NAME(STATUS_OBJECT_NAME_COLLISION)
    NAME(STATUS_DELETE_PENDING)
    NAME(STATUS_REVISION_MISMATCH)
    NAME(STATUS_INSUFFICIENT_RESOURCES)
    NAME(STATUS_DEVICE_DATA_ERROR)
    NAME(STATUS_DEVICE_NOT_CONNECTED)
    NAME(STATUS_IO_TIMEOUT)
    NAME(STATUS_NOT_SUPPORTED)
    NAME(STATUS_CANCELLED)
    NAME(STATUS_NO_MEDIA)
    NAME(STATUS_INVALID_DEVICE_STATE)
    NAME(STATUS_DEVICE_PROTOCOL_ERROR)
    NAME(STATUS_INVALID_BUFFER_SIZE)
    NAME(STATUS_DEVICE_REMOVED)
#undef NAME
    default: return nullptr;
  }
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString) {
    size_t n = std::wcslen(SourceString);
    DestinationString->Length = USHORT(n * sizeof(WCHAR));
    DestinationString->MaximumLength = USHORT((n + 1) * sizeof(WCHAR));
  } else {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
  }
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  size_t n = String1->Length / sizeof(WCHAR);
  for (size_t i = 0; i < n; ++i) {
    wchar_t a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = std::towupper(a);
      b = std::towupper(b);
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString || !SourceString->Buffer) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
  std::memcpy(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

}  // extern "C"
