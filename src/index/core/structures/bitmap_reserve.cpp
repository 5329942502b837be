#include "index/core/structures/bitmap_reserve.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#define TARNWICK_ROUTE_IMPORTS 1
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tarnwick {
namespace {

// Enough for any single bitmap operation the engine makes between two
// allocation points (the largest, a full 32-bit bitmap of bitset containers,
// is 512 KiB; unions of many parts allocate their result once). It costs
// address space only: the block is never touched.
constexpr size_t RESERVE_BYTES = size_t(32) << 20;

std::atomic<void*> reserve{nullptr};
std::atomic<int> refusals{0};
std::atomic<bool> refuse_reserve{false};

#ifdef TARNWICK_ROUTE_IMPORTS

void* map_reserve() noexcept {
    if (refuse_reserve.load(std::memory_order_relaxed)) return nullptr;
    void* block = mmap(nullptr, RESERVE_BYTES, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void unmap_reserve(void* block) noexcept { munmap(block, RESERVE_BYTES); }

#else

void* map_reserve() noexcept { return nullptr; }
void unmap_reserve(void*) noexcept {}

#endif

// Gives the reserve back to the system; false if there was none to give.
bool spend_reserve() noexcept {
    void* block = reserve.exchange(nullptr, std::memory_order_acq_rel);
    if (!block) return false;
    unmap_reserve(block);
    bitmap_reserve_detail::spent.store(true, std::memory_order_relaxed);
    return true;
}

bool refused_for_test() noexcept {
    int left = refusals.load(std::memory_order_relaxed);
    while (left > 0) {
        if (refusals.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

// The wrappers keep the C contract the library expects: null on failure,
// never an exception.
void* reserve_malloc(size_t n) noexcept {
    void* p = refused_for_test() ? nullptr : std::malloc(n);
    if (!p && n && spend_reserve()) p = std::malloc(n);
    return p;
}

void* reserve_calloc(size_t count, size_t n) noexcept {
    void* p = refused_for_test() ? nullptr : std::calloc(count, n);
    if (!p && count && n && spend_reserve()) p = std::calloc(count, n);
    return p;
}

// A failed realloc leaves the old block as it was, so trying again is safe.
void* reserve_realloc(void* old, size_t n) noexcept {
    void* p = refused_for_test() ? nullptr : std::realloc(old, n);
    if (!p && n && spend_reserve()) p = std::realloc(old, n);
    return p;
}

int reserve_posix_memalign(void** out, size_t alignment, size_t n) noexcept {
    int err = refused_for_test() ? ENOMEM : posix_memalign(out, alignment, n);
    if (err == ENOMEM && spend_reserve()) err = posix_memalign(out, alignment, n);
    return err;
}

void* reserve_aligned_alloc(size_t alignment, size_t n) noexcept {
    void* p = refused_for_test() ? nullptr : std::aligned_alloc(alignment, n);
    if (!p && n && spend_reserve()) p = std::aligned_alloc(alignment, n);
    return p;
}

#ifdef TARNWICK_ROUTE_IMPORTS

struct Route {
    std::string_view symbol;
    void* wrapper;
};

const Route ROUTES[] = {
    {"malloc", reinterpret_cast<void*>(&reserve_malloc)},
    {"calloc", reinterpret_cast<void*>(&reserve_calloc)},
    {"realloc", reinterpret_cast<void*>(&reserve_realloc)},
    {"posix_memalign", reinterpret_cast<void*>(&reserve_posix_memalign)},
    {"aligned_alloc", reinterpret_cast<void*>(&reserve_aligned_alloc)},
};

#if defined(__x86_64__)
constexpr uint32_t JUMP_SLOT = R_X86_64_JUMP_SLOT;
constexpr uint32_t GLOB_DAT = R_X86_64_GLOB_DAT;
#else
constexpr uint32_t JUMP_SLOT = R_AARCH64_JUMP_SLOT;
constexpr uint32_t GLOB_DAT = R_AARCH64_GLOB_DAT;
#endif

bool is_bitmap_library(const char* path) noexcept {
    if (!path) return false;
    std::string_view name(path);
    const size_t slash = name.rfind('/');
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    return name.substr(0, 10) == "libroaring";
}

struct LoadedObject {
    ElfW(Addr) base;
    const ElfW(Sym)* symbols = nullptr;
    const char* names = nullptr;
    ElfW(Addr) relro_begin = 0, relro_end = 0;
    size_t routed = 0;
};

// Points one import slot at its wrapper. A slot in the part the loader made
// read-only after relocation is made writable for the write and read-only
// again.
void route_slot(LoadedObject& object, ElfW(Addr) slot, void* wrapper) noexcept {
    const ElfW(Addr) page_size = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE));
    void* page = reinterpret_cast<void*>(slot & ~(page_size - 1));
    if (mprotect(page, page_size, PROT_READ | PROT_WRITE) != 0) return;
    __atomic_store_n(reinterpret_cast<void**>(slot), wrapper, __ATOMIC_RELEASE);
    if (slot >= object.relro_begin && slot < object.relro_end) mprotect(page, page_size, PROT_READ);
    ++object.routed;
}

void route_relocations(LoadedObject& object, const ElfW(Rela)* relocations, size_t bytes) noexcept {
    if (!relocations) return;
    for (size_t i = 0; i < bytes / sizeof(ElfW(Rela)); ++i) {
        const ElfW(Rela)& r = relocations[i];
        const uint32_t type = ELF64_R_TYPE(r.r_info);
        const uint32_t symbol = ELF64_R_SYM(r.r_info);
        if ((type != JUMP_SLOT && type != GLOB_DAT) || symbol == 0) continue;
        const std::string_view name(object.names + object.symbols[symbol].st_name);
        for (const Route& route : ROUTES) {
            if (name == route.symbol) route_slot(object, object.base + r.r_offset, route.wrapper);
        }
    }
}

int route_object(dl_phdr_info* info, size_t, void* total) noexcept {
    if (!is_bitmap_library(info->dlpi_name)) return 0;
    LoadedObject object{info->dlpi_addr};
    const ElfW(Dyn)* dynamic = nullptr;
    const ElfW(Addr) page_size = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(object.base + ph.p_vaddr);
        if (ph.p_type == PT_GNU_RELRO) {
            object.relro_begin = (object.base + ph.p_vaddr) & ~(page_size - 1);
            object.relro_end = (object.base + ph.p_vaddr + ph.p_memsz) & ~(page_size - 1);
        }
    }
    if (!dynamic) return 0;
    // glibc's loader rewrites these addresses to absolute ones; others leave
    // them relative to the load address.
    auto address = [&](ElfW(Addr) a) { return a < object.base ? object.base + a : a; };
    const ElfW(Rela)* plt = nullptr;
    const ElfW(Rela)* data = nullptr;
    size_t plt_bytes = 0, data_bytes = 0;
    bool plt_is_rela = true;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
            case DT_SYMTAB: object.symbols = reinterpret_cast<const ElfW(Sym)*>(address(d->d_un.d_ptr)); break;
            case DT_STRTAB: object.names = reinterpret_cast<const char*>(address(d->d_un.d_ptr)); break;
            case DT_JMPREL: plt = reinterpret_cast<const ElfW(Rela)*>(address(d->d_un.d_ptr)); break;
            case DT_PLTRELSZ: plt_bytes = d->d_un.d_val; break;
            case DT_PLTREL: plt_is_rela = d->d_un.d_val == DT_RELA; break;
            case DT_RELA: data = reinterpret_cast<const ElfW(Rela)*>(address(d->d_un.d_ptr)); break;
            case DT_RELASZ: data_bytes = d->d_un.d_val; break;
            default: break;
        }
    }
    if (!object.symbols || !object.names || !plt_is_rela) return 0;
    route_relocations(object, plt, plt_bytes);
    route_relocations(object, data, data_bytes);
    *static_cast<size_t*>(total) += object.routed;
    return 0;
}

size_t route_imports() noexcept {
    size_t total = 0;
    dl_iterate_phdr(&route_object, &total);
    return total;
}

#else

size_t route_imports() noexcept { return 0; }

#endif

}  // namespace

void bitmap_reserve_detail::restore() {
    void* block = map_reserve();
    if (!block) throw std::bad_alloc();
    void* none = nullptr;
    // Another thread may have restored it meanwhile: one reserve is enough.
    if (!reserve.compare_exchange_strong(none, block, std::memory_order_acq_rel)) unmap_reserve(block);
    spent.store(false, std::memory_order_relaxed);
}

size_t install_bitmap_reserve() noexcept {
    static const size_t routed = [] {
        const size_t slots = route_imports();
        if (slots) reserve.store(map_reserve(), std::memory_order_release);
        return slots;
    }();
    return routed;
}

void refuse_bitmap_allocations(int n, bool reserve_too) noexcept {
    refusals.store(n < 0 ? 0 : n, std::memory_order_relaxed);
    refuse_reserve.store(reserve_too, std::memory_order_relaxed);
}

}  // namespace tarnwick
