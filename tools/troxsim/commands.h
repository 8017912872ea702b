// The commands of troxsim. Each takes the whole command line and the index of its first option,
// and returns the process exit code (0 success, 1 failure of the job, 2 bad usage).
#pragma once

namespace troxsim {

int RunDevices(int argc, char** argv, int first);
int RunUsb(int argc, char** argv, int first);
int RunInspectCommand(int argc, char** argv, int first);
int RunStream(int argc, char** argv, int first);
// withWaveByDefault: the main job, Windows audio playing beside ASIO.
int RunAsioCommand(int argc, char** argv, int first, bool withWaveByDefault);

}  // namespace troxsim
