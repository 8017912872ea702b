// Writes captured PCM frames to a WAV file as they arrive.
#pragma once

#include <cstdint>
#include <string>

namespace troxsim {

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // PCM of 16, 24 or 32 bits; false (with the reason in *error) when the file cannot be made.
  bool Open(const std::string& path, uint32_t channels, uint32_t bits, uint32_t rate, std::string* error);
  // Whole frames of channels × bits / 8 bytes, little-endian.
  bool Write(const uint8_t* data, uint32_t frames);
  bool Close(std::string* error);
  uint64_t Frames() const { return frames_; }

 private:
  void* file_ = nullptr;  // SNDFILE*
  uint32_t channels_ = 0;
  uint32_t bytes_ = 0;
  uint64_t frames_ = 0;
  bool failed_ = false;
};

}  // namespace troxsim
