#include "app/serial_ports.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/exception.h"
#include "platform/win32/wide.h"

namespace kestrel {
namespace {

// A stand-in for HKEY_LOCAL_MACHINE under HKEY_CURRENT_USER, with its
// HARDWARE\DEVICEMAP\SERIALCOMM key; removed with the object.
class FakeMachineKey {
 public:
  explicit FakeMachineKey(const std::wstring& test_name)
      : root_(L"Software\\KestrelTests\\" + test_name + L"-" +
              std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
    const std::wstring list = root_ + L"\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, list.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &list_, nullptr),
              ERROR_SUCCESS);
  }
  ~FakeMachineKey() {
    RegCloseKey(list_);
    RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
  }

  std::string Root() const { return platform::Narrow(root_); }

  void AddPort(const std::wstring& device, const std::wstring& port) {
    const auto bytes = static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(list_, device.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(port.c_str()), bytes),
              ERROR_SUCCESS);
  }
  void AddNumber(const std::wstring& device, DWORD number) {
    ASSERT_EQ(RegSetValueExW(list_, device.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number), sizeof(number)),
              ERROR_SUCCESS);
  }

 private:
  std::wstring root_;
  HKEY list_ = nullptr;
};

TEST(SerialCommListing, PortsAreTheDataOfTheValuesSortedIgnoringCase) {
  FakeMachineKey machine(L"listing");
  machine.AddPort(L"\\Device\\Serial0", L"COM3");
  machine.AddPort(L"\\Device\\Serial1", L"COM10");
  machine.AddPort(L"\\Device\\VCP0", L"com2");
  machine.AddPort(L"\\Device\\Serial2", L"COM1");
  EXPECT_EQ(ListCOMs(machine.Root()), "COM1\r\nCOM10\r\ncom2\r\nCOM3\r\n");
}

TEST(SerialCommListing, KeyWithoutValuesGivesAnEmptyTextWithoutProbing) {
  FakeMachineKey machine(L"empty");
  EXPECT_EQ(ListCOMs(machine.Root()), "");
}

TEST(SerialCommListing, ValueThatIsNoStringRaises) {
  FakeMachineKey machine(L"number");
  machine.AddPort(L"\\Device\\Serial0", L"COM1");
  machine.AddNumber(L"\\Device\\Serial9", 9);
  try {
    ListCOMs(machine.Root());
    ADD_FAILURE() << "nothing raised";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.Message(), "Invalid data type for '\\Device\\Serial9'");
  }
}

}  // namespace
}  // namespace kestrel
