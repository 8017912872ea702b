#include "tools/asiohost/private_files.h"

#include "sim/kernel/io/device_interface.h"
#include "sim/testbed/testbed.h"

namespace asiohost {
namespace {

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

}  // namespace

std::vector<PrivateFile> FindPrivateFiles() {
  const std::u16string marker = Lower(std::u16string(u"\\") + sim::testbed::kFilterReference);
  std::vector<PrivateFile> found;
  for (const sim::io::DeviceInterface& item : sim::io::EnumerateInterfaces(sim::testbed::kAudioInterfaceClass)) {
    const std::u16string path = Lower(item.userPath);
    const size_t at = path.find(marker);
    if (at == std::u16string::npos) continue;
    found.push_back({path.substr(0, at) + u"\\asio", item.pdo});
  }
  return found;
}

std::u16string PrivateFileOf(PDEVICE_OBJECT pdo) {
  for (const PrivateFile& file : FindPrivateFiles()) {
    if (file.pdo == pdo) return file.path;
  }
  return {};
}

}  // namespace asiohost
