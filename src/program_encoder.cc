#include "program_encoder.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace kelmora {

namespace {

// Instances register on the main thread while another instance's worker
// may be looking encoders up.
std::mutex& TableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<const ProgramEncoder*>& Table() {
  static std::vector<const ProgramEncoder*> table;
  return table;
}

}  // namespace

void RegisterProgramEncoder(const ProgramEncoder* encoder) {
  std::lock_guard<std::mutex> lock(TableMutex());
  for (const ProgramEncoder*& entry : Table()) {
    if (strcmp(entry->name, encoder->name) == 0) {
      entry = encoder;
      return;
    }
  }
  Table().push_back(encoder);
}

const ProgramEncoder* FindProgramEncoder(const std::string& name) {
  std::lock_guard<std::mutex> lock(TableMutex());
  for (const ProgramEncoder* entry : Table()) {
    if (name == entry->name) return entry;
  }
  return nullptr;
}

EncoderRef EncoderRef::FindByName(const std::string& name) {
  if (const ProgramEncoder* program = FindProgramEncoder(name)) {
    return EncoderRef(program);
  }
  return EncoderRef(avcodec_find_encoder_by_name(name.c_str()));
}

EncoderRef EncoderRef::FindById(AVCodecID id) {
  return EncoderRef(avcodec_find_encoder(id));
}

const char* EncoderRef::name() const {
  if (program_) return program_->name;
  return library_ ? library_->name : "";
}

AVCodecID EncoderRef::id() const {
  if (program_) return program_->id;
  return library_ ? library_->id : AV_CODEC_ID_NONE;
}

AVMediaType EncoderRef::type() const {
  if (program_) return program_->type;
  return library_ ? library_->type : AVMEDIA_TYPE_UNKNOWN;
}

int EncoderRef::capabilities() const {
  if (program_) return program_->capabilities;
  return library_ ? library_->capabilities : 0;
}

const int* EncoderRef::supported_samplerates() const {
  return library_ ? library_->supported_samplerates : nullptr;
}

}  // namespace kelmora
