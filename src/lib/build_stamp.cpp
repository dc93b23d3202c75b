// The note that carries this module's build stamp. It is compiled into each module
// itself, not into the frame's static library, whose members are linked only when
// something refers to them.
#include "build_stamp.h"

#include <cstddef>

#include <mivo_build_stamp.h>  // MIVO_BUILD_STAMP, generated at configure

namespace mivo::py {

namespace {

constexpr size_t padded(size_t size) { return (size + 3) / 4 * 4; }

// An ELF note: three 32-bit words, then the owner name and the description, each
// padded to 4 bytes. The description is the stamp as text with its NUL.
struct StampNote {
  uint32_t name_size;
  uint32_t desc_size;
  uint32_t type;
  char name[padded(sizeof kBuildStampNoteName)];
  char desc[padded(sizeof MIVO_BUILD_STAMP)];
};

constexpr StampNote make_note() {
  StampNote note{sizeof kBuildStampNoteName, sizeof MIVO_BUILD_STAMP, kBuildStampNoteType, {}, {}};
  for (size_t i = 0; i < sizeof kBuildStampNoteName; ++i) note.name[i] = kBuildStampNoteName[i];
  for (size_t i = 0; i < sizeof MIVO_BUILD_STAMP; ++i) note.desc[i] = MIVO_BUILD_STAMP[i];
  return note;
}

// A section named .note.* is an SHT_NOTE section, which the linker puts in a loaded
// PT_NOTE segment: another module reads it from memory through dl_iterate_phdr, without
// opening the file, and tools that rewrite a file's dynamic section keep notes.
[[gnu::section(".note.mivo.build-stamp"), gnu::used,
  gnu::aligned(4)]] constexpr StampNote kStampNote = make_note();

}  // namespace

// Not read through kStampNote: patchelf (auditwheel's repair) may move the note when it
// grows the file's headers, updating the PT_NOTE header but not the code that would
// address the note's old place.
std::string_view build_stamp() { return {MIVO_BUILD_STAMP, sizeof MIVO_BUILD_STAMP - 1}; }

}  // namespace mivo::py
