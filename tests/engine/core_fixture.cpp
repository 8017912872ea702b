#include "core_fixture.h"

#include "sim/kernel/io/device_interface.h"

namespace trox::test {
namespace {

// {6B0E5A31-2C7D-4E8F-9A1B-3C4D5E6F7A8B}: an interface class of the tests only.
DEFINE_GUID(kTestInterfaceClass, 0x6B0E5A31, 0x2C7D, 0x4E8F, 0x9A, 0x1B, 0x3C, 0x4D, 0x5E, 0x6F, 0x7A, 0x8B);

bool SameLetters(std::u16string_view a, std::u16string_view b) {
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

NTSTATUS CoreTest::OpenFile(PDEVICE_OBJECT pdo, const char16_t* name, std::unique_ptr<sim::io::UserHandle>* handle) {
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, reinterpret_cast<PCWSTR>(name));
  UNICODE_STRING link{};
  NTSTATUS status = IoRegisterDeviceInterface(pdo, &kTestInterfaceClass, &reference, &link);
  if (!NT_SUCCESS(status)) return status;
  IoSetDeviceInterfaceState(&link, TRUE);
  RtlFreeUnicodeString(&link);
  for (const sim::io::DeviceInterface& found : sim::io::EnumerateInterfaces(kTestInterfaceClass)) {
    if (found.pdo == pdo && SameLetters(found.referenceString, name)) {
      // The name exactly as given, whatever case the interface was registered in.
      const std::u16string path =
          found.userPath.substr(0, found.userPath.size() - found.referenceString.size()) + name;
      return sim::io::UserHandle::Open(path, GENERIC_READ | GENERIC_WRITE, 0, handle);
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace trox::test
