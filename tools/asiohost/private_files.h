// How user mode finds troxaudio's private files: the audio interfaces whose
// path holds the filter's reference string, cut there, with "\asio" after.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace asiohost {

struct PrivateFile {
  std::u16string path;  // lower case, as the ASIO driver opens it
  PDEVICE_OBJECT pdo;   // the device behind it (for the simulator's own bookkeeping)
};

std::vector<PrivateFile> FindPrivateFiles();
// The private file of one device; empty when it has none.
std::u16string PrivateFileOf(PDEVICE_OBJECT pdo);

}  // namespace asiohost
