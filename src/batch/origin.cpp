// Where mivo's classes come from. No address in this module can match one of mivo's
// (each module links its own hidden copy of the frame), so the classes are traced to
// the file that implements them, and that file must carry this build's stamp: a
// lookalike written in Python lives in the interpreter, and a mivo from another build
// carries another stamp.
#include "origin.h"

#include <dlfcn.h>
#include <link.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "../lib/build_stamp.h"
#include "../lib/messages.h"
#include "messages.h"

namespace mivo::py::batch {

namespace {

struct MivoClass {
  const char* name;
  const char* spec_name;  // the name mivo builds the class under
  PyTypeObject* type;
  bool has_new;  // the quantizers have constructors; the records have none
};

int import_error(const std::string& message) {
  PyErr_SetString(PyExc_ImportError, message.c_str());
  return -1;
}

template <class F>
const void* address_of(F* function) {
  return reinterpret_cast<const void*>(function);
}

// A loaded file, known by one address inside it.
struct LoadedFile {
  const void* base = nullptr;
  std::string path;
  const void* address = nullptr;
};

std::optional<LoadedFile> file_of(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
    return std::nullopt;
  }
  return LoadedFile{info.dli_fbase, info.dli_fname != nullptr ? info.dli_fname : "", address};
}

// Sets *out to the one file that every checked slot of `classes` lies in (the slots the
// interpreter calls on every instance and constructor), which must be neither this
// module nor the interpreter; -1 with ImportError otherwise.
int file_of_classes(const std::array<MivoClass, 4>& classes, LoadedFile* out) {
  const std::optional<LoadedFile> own = file_of(address_of(&check_origin));
  const std::optional<LoadedFile> interpreter = file_of(address_of(PyBaseObject_Type.tp_repr));
  std::optional<LoadedFile> first;
  for (const MivoClass& c : classes) {
    const std::array<const void*, 3> slots = {
        address_of(c.type->tp_dealloc), address_of(c.type->tp_repr), address_of(c.type->tp_new)};
    for (size_t i = 0; i < (c.has_new ? 3u : 2u); ++i) {
      const std::optional<LoadedFile> file = file_of(slots[i]);
      std::string where;
      if (!file) {
        where = kInNoLoadedFile;
      } else if (interpreter && file->base == interpreter->base) {
        where = kInTheInterpreter;
      } else if (own && file->base == own->base) {
        where = kInMivoBatch;
      } else if (first && file->base != first->base) {
        where = in_another_file_than(classes[0].name);
      }
      if (!where.empty()) return import_error(slots_outside_mivo(c.name, where));
      if (!first) first = file;
    }
  }
  *out = *first;
  return 0;
}

constexpr size_t align_up(size_t size, size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

// The build stamp among the notes of one PT_NOTE segment, if there is one. Notes are
// aligned as their segment is (4 or 8 bytes).
std::optional<std::string> stamp_in_notes(const unsigned char* notes, size_t size,
                                          size_t alignment) {
  while (size >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) head;
    std::memcpy(&head, notes, sizeof head);
    const size_t desc_at = align_up(sizeof head + head.n_namesz, alignment);
    const size_t next = align_up(desc_at + head.n_descsz, alignment);
    if (next > size) break;
    if (head.n_type == kBuildStampNoteType && head.n_namesz == sizeof kBuildStampNoteName &&
        std::memcmp(notes + sizeof head, kBuildStampNoteName, sizeof kBuildStampNoteName) == 0) {
      const char* desc = reinterpret_cast<const char*>(notes + desc_at);
      return std::string(desc, strnlen(desc, head.n_descsz));
    }
    notes += next;
    size -= next;
  }
  return std::nullopt;
}

struct StampSearch {
  uintptr_t address;  // inside the file whose stamp is sought
  std::optional<std::string> stamp;
};

bool loads_address(const dl_phdr_info& info, uintptr_t address) {
  for (size_t i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr) & segment = info.dlpi_phdr[i];
    const uintptr_t start = info.dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && address >= start && address - start < segment.p_memsz) {
      return true;
    }
  }
  return false;
}

// dl_iterate_phdr's callback: reads the stamp of the file that holds the address, then
// stops the walk.
int find_stamp(dl_phdr_info* info, size_t, void* data) {
  auto& search = *static_cast<StampSearch*>(data);
  if (!loads_address(*info, search.address)) return 0;
  for (size_t i = 0; i < info->dlpi_phnum && !search.stamp; ++i) {
    const ElfW(Phdr) & segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    const auto* notes = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
    search.stamp = stamp_in_notes(notes, segment.p_memsz, segment.p_align == 8 ? 8 : 4);
  }
  return 1;
}

int check_stamp(const LoadedFile& file) {
  StampSearch search{reinterpret_cast<uintptr_t>(file.address), std::nullopt};
  dl_iterate_phdr(find_stamp, &search);
  if (!search.stamp) return import_error(no_build_stamp(file.path));
  if (*search.stamp != build_stamp()) {
    return import_error(build_stamp_mismatch(file.path, *search.stamp, build_stamp()));
  }
  return 0;
}

const char* unqualified(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr ? dot + 1 : name;
}

}  // namespace

int check_origin(const ModuleState& state) {
  const std::array<MivoClass, 4> classes = {{
      {kQuantizedVectorName, kQuantizedVectorSpecName, state.quantized_vector, false},
      {kRaBitQQuantizerName, kRaBitQQuantizerSpecName, state.rabitq_quantizer, true},
      {kTernaryVectorName, kTernaryVectorSpecName, state.ternary_vector, false},
      {kTernaryQuantizerName, kTernaryQuantizerSpecName, state.ternary_quantizer, true},
  }};
  // A class that can be subclassed or changed could be given other slots after this
  // check, so the check holds only for final, immutable classes.
  for (const MivoClass& c : classes) {
    const unsigned long flags = c.type->tp_flags;
    if ((flags & Py_TPFLAGS_BASETYPE) != 0 || (flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
      return import_error(not_final_immutable(c.name));
    }
  }
  LoadedFile file;
  if (file_of_classes(classes, &file) < 0 || check_stamp(file) < 0) return -1;
  // mivo's own classes under each other's names have equal instance sizes and pass the
  // checks above.
  for (const MivoClass& c : classes) {
    if (std::strcmp(c.type->tp_name, c.spec_name) != 0) {
      return import_error(another_class(c.name, unqualified(c.type->tp_name)));
    }
  }
  return 0;
}

}  // namespace mivo::py::batch
