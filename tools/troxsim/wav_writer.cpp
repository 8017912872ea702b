#include "tools/troxsim/wav_writer.h"

#include <sndfile.h>

#include <vector>

namespace troxsim {

WavWriter::~WavWriter() {
  std::string ignored;
  Close(&ignored);
}

bool WavWriter::Open(const std::string& path, uint32_t channels, uint32_t bits, uint32_t rate, std::string* error) {
  int subtype = 0;
  switch (bits) {
    case 16: subtype = SF_FORMAT_PCM_16; break;
    case 24: subtype = SF_FORMAT_PCM_24; break;
    case 32: subtype = SF_FORMAT_PCM_32; break;
    default: *error = "cannot write " + std::to_string(bits) + "-bit samples to a WAV file"; return false;
  }
  SF_INFO info = {};
  info.samplerate = static_cast<int>(rate);
  info.channels = static_cast<int>(channels);
  info.format = SF_FORMAT_WAV | subtype;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  file_ = file;
  channels_ = channels;
  bytes_ = bits / 8;
  return true;
}

bool WavWriter::Write(const uint8_t* data, uint32_t frames) {
  if (file_ == nullptr || failed_) return false;
  // Samples go in as left-justified 32-bit values; libsndfile narrows them to the file's width.
  std::vector<int> samples(static_cast<size_t>(frames) * channels_);
  for (size_t i = 0; i < samples.size(); ++i) {
    const uint8_t* s = data + i * bytes_;
    uint32_t v = 0;
    for (uint32_t b = 0; b < bytes_; ++b) v |= static_cast<uint32_t>(s[b]) << (8 * (4 - bytes_ + b));
    samples[i] = static_cast<int>(v);
  }
  const sf_count_t written = sf_writef_int(static_cast<SNDFILE*>(file_), samples.data(), frames);
  if (written != static_cast<sf_count_t>(frames)) failed_ = true;
  frames_ += static_cast<uint64_t>(written);
  return !failed_;
}

bool WavWriter::Close(std::string* error) {
  if (file_ == nullptr) return true;
  const int status = sf_close(static_cast<SNDFILE*>(file_));
  file_ = nullptr;
  if (status != 0 || failed_) {
    *error = "writing the WAV file failed";
    return false;
  }
  return true;
}

}  // namespace troxsim
