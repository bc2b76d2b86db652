// The encodings behind common/codec.h and the names users may call them by. Private to the codec
// and its tests.
#pragma once

#include <span>
#include <string_view>

namespace veltaro::common::codec_names {

enum Flags : unsigned char {
  kNone = 0,
  // IBM's PC tables put SUB, FS and DEL at 0x7F, 0x1A and 0x1C; a terminal needs them where
  // ASCII has them, so these three are permuted around every call into ICU.
  kPcControls = 1,
  // ICU gives bytes these tables leave undefined as C1 controls, which a terminal would act on
  // (0x90 starts a device control string); Python, like us, refuses them.
  kNoC1 = 2,
};

struct Codec {
  // ICU converter name; nullptr means UTF-8, which is decoded by hand because it is the hot path.
  const char* icu;
  unsigned char flags;
  // Python's normalised spellings (lower case, '_' between words), separated by spaces.
  const char* names;
};

// Case-insensitive; '-', '_' and ' ' are alike, as in Python. nullptr when nothing matches.
const Codec* find(std::string_view name) noexcept;

std::span<const Codec> all() noexcept;

}  // namespace veltaro::common::codec_names
