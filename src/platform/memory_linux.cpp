#include "platform/memory.h"

#include <elf.h>
#include <link.h>
#include <malloc.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

namespace {

// True when the object's code is patched at load time: its pages are then not the file's.
bool HasTextRelocations(const dl_phdr_info* info) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
    const ElfW(Dyn)* dyn = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    for (; dyn->d_tag != DT_NULL; ++dyn) {
      if (dyn->d_tag == DT_TEXTREL) return true;
      if (dyn->d_tag == DT_FLAGS && (dyn->d_un.d_val & DF_TEXTREL)) return true;
    }
  }
  return false;
}

// Unmaps the pages of every read-only segment that are never written, for
// each loaded object. Runs under the loader's lock, so no object goes away
// meanwhile; the pages come back from the page cache when next used.
int DropReadOnlySegments(dl_phdr_info* info, size_t, void* data) {
  const uintptr_t page = *static_cast<uintptr_t*>(data);
  // The kernel's own page of code is left as it is.
  const uintptr_t vdso = static_cast<uintptr_t>(getauxval(AT_SYSINFO_EHDR));
  if (vdso != 0 && reinterpret_cast<uintptr_t>(info->dlpi_phdr) - vdso < page) return 0;
  if (HasTextRelocations(info)) return 0;
  uintptr_t relroStart = 0, relroEnd = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_GNU_RELRO) {
      relroStart = info->dlpi_addr + segment.p_vaddr;
      relroEnd = relroStart + segment.p_memsz;
    }
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) || segment.p_filesz == 0) continue;
    // Whole pages inside the file-backed part only: a page shared with other data is left alone.
    uintptr_t start = (info->dlpi_addr + segment.p_vaddr + page - 1) & ~(page - 1);
    uintptr_t end = (info->dlpi_addr + segment.p_vaddr + segment.p_filesz) & ~(page - 1);
    if (end <= start) continue;
    if (relroEnd > start && relroStart < end) continue;  // relocated after loading
    madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
  }
  return 0;
}

}  // namespace

void ReleaseFreeMemory() { malloc_trim(0); }

void ReleaseCodePages() {
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  dl_iterate_phdr(DropReadOnlySegments, &page);
}

}  // namespace platform
