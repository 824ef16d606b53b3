// The system's list is the registry key HARDWARE\DEVICEMAP\SERIALCOMM of
// HKEY_LOCAL_MACHINE, whose values map each serial device present to its port
// name. The probe opens \\.\COM1 ... \\.\COM255. A `root` other than "/"
// names a key of HKEY_CURRENT_USER that stands for HKEY_LOCAL_MACHINE, so that
// tests can list from a fake key without a right to change the machine's; the
// probe always looks at the machine's devices.
#include "platform/serial_ports.h"

#include <windows.h>

#include <string_view>

#include "base/exception.h"
#include "platform/system_error.h"
#include "platform/win32/wide.h"

namespace kestrel::platform {
namespace {

constexpr int kProbedPorts = 255;

class RegistryKey {
 public:
  // Opens for reading only, never creating; IsOpen tells whether it did.
  RegistryKey(HKEY parent, const wchar_t* name) {
    if (RegOpenKeyExW(parent, name, 0, KEY_READ, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_ != nullptr)
      RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool IsOpen() const { return key_ != nullptr; }
  HKEY Handle() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

[[noreturn]] void RaiseRegistryError(LONG code) {
  throw Exception(SystemErrorMessage(code, SystemErrorText(code)));
}

// A string value's data without the terminating nulls the registry may keep.
std::wstring WithoutTrailingNulls(const wchar_t* data, DWORD bytes) {
  std::wstring text(data, bytes / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0')
    text.pop_back();
  return text;
}

// The data of every value of the key, each of which must be a string.
std::vector<std::string> StringData(HKEY key) {
  DWORD values = 0;
  DWORD longest_name = 0;
  DWORD largest_data = 0;
  const LONG queried = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        &values, &longest_name, &largest_data, nullptr, nullptr);
  if (queried != ERROR_SUCCESS)
    RaiseRegistryError(queried);
  std::vector<std::string> data;
  std::wstring name(longest_name + 1, L'\0');
  std::wstring buffer(largest_data / sizeof(wchar_t) + 1, L'\0');
  for (DWORD index = 0; index < values; ++index) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    DWORD type = 0;
    const LONG read = RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type,
                                    reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (read == ERROR_NO_MORE_ITEMS)
      break;
    if (read != ERROR_SUCCESS)
      RaiseRegistryError(read);
    if (type != REG_SZ)
      throw Exception("Invalid data type for '" + Narrow({name.data(), name_length}) + "'");
    data.push_back(Narrow(WithoutTrailingNulls(buffer.data(), bytes)));
  }
  return data;
}

// Opened as the printer's driver opens it: read and write, not shared. Only
// "file not found" means there is no such port; any other refusal (in use,
// access denied) comes from a port that is there.
bool PortExists(int number) {
  const std::wstring device = L"\\\\.\\COM" + std::to_wstring(number);
  const HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return true;
  }
  return GetLastError() != ERROR_FILE_NOT_FOUND;
}

}  // namespace

std::optional<std::vector<std::string>> ListedSerialPorts(const std::string& root) {
  constexpr std::wstring_view kListKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
  const bool machine = root == "/";
  const std::wstring name =
      machine ? std::wstring(kListKey) : Wide(root) + L"\\" + std::wstring(kListKey);
  const RegistryKey key(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, name.c_str());
  if (!key.IsOpen())
    return std::nullopt;
  return StringData(key.Handle());
}

std::vector<std::string> ProbedSerialPorts(const std::string&) {
  std::vector<std::string> names;
  for (int number = 1; number <= kProbedPorts; ++number) {
    if (PortExists(number))
      names.push_back("COM" + std::to_string(number));
  }
  return names;
}

}  // namespace kestrel::platform
