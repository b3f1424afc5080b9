#include "interposition_check.h"

#include <dlfcn.h>
#include <link.h>

#include <set>
#include <span>

namespace quillet::app {

namespace {

// The names a loaded object imports through its dynamic relocations (the
// PLT's and the GOT's).
struct Imports {
    std::string file;
    std::set<std::string> names;
    bool found = false;
};

// A relocation's symbol index, for this machine's word size.
template <typename Info>
constexpr size_t symbol_index(Info info)
{
    if constexpr (sizeof(Info) == 8)
        return static_cast<size_t>(ELF64_R_SYM(info));
    else
        return static_cast<size_t>(ELF32_R_SYM(info));
}

template <typename Relocation>
void add_names(std::span<const Relocation> relocations, const ElfW(Sym) * symbols, const char *strings,
               std::set<std::string> &names)
{
    for (const Relocation &relocation : relocations)
        if (const size_t index = symbol_index(relocation.r_info); index != 0)
            names.insert(strings + symbols[index].st_name);
}

int read_imports(dl_phdr_info *object, size_t, void *data)
{
    auto &imports = *static_cast<Imports *>(data);
    if (!object->dlpi_name || imports.file != object->dlpi_name)
        return 0;
    imports.found = true;
    const ElfW(Dyn) *dynamic = nullptr;
    for (int i = 0; i < object->dlpi_phnum; i++)
        if (object->dlpi_phdr[i].p_type == PT_DYNAMIC)
            dynamic = reinterpret_cast<const ElfW(Dyn) *>(object->dlpi_addr + object->dlpi_phdr[i].p_vaddr);
    if (!dynamic)
        return 1;
    // The loader relocates these addresses in place where the section is
    // writable; elsewhere they are still relative to the object.
    auto address = [&](ElfW(Addr) value) { return value < object->dlpi_addr ? value + object->dlpi_addr : value; };
    ElfW(Addr) symbols = 0, strings = 0, plt = 0, rela = 0, rel = 0;
    size_t plt_size = 0, rela_size = 0, rel_size = 0;
    bool plt_is_rela = true;
    for (const ElfW(Dyn) *entry = dynamic; entry->d_tag != DT_NULL; entry++) {
        switch (entry->d_tag) {
        case DT_SYMTAB: symbols = address(entry->d_un.d_ptr); break;
        case DT_STRTAB: strings = address(entry->d_un.d_ptr); break;
        case DT_JMPREL: plt = address(entry->d_un.d_ptr); break;
        case DT_PLTRELSZ: plt_size = entry->d_un.d_val; break;
        case DT_PLTREL: plt_is_rela = entry->d_un.d_val == DT_RELA; break;
        case DT_RELA: rela = address(entry->d_un.d_ptr); break;
        case DT_RELASZ: rela_size = entry->d_un.d_val; break;
        case DT_REL: rel = address(entry->d_un.d_ptr); break;
        case DT_RELSZ: rel_size = entry->d_un.d_val; break;
        default: break;
        }
    }
    if (!symbols || !strings)
        return 1;
    const auto *symbol_table = reinterpret_cast<const ElfW(Sym) *>(symbols);
    const auto *string_table = reinterpret_cast<const char *>(strings);
    auto add = [&]<typename Relocation>(ElfW(Addr) at, size_t size) {
        if (at && size)
            add_names(std::span(reinterpret_cast<const Relocation *>(at), size / sizeof(Relocation)), symbol_table,
                      string_table, imports.names);
    };
    add.operator()<ElfW(Rela)>(rela, rela_size);
    add.operator()<ElfW(Rel)>(rel, rel_size);
    if (plt_is_rela)
        add.operator()<ElfW(Rela)>(plt, plt_size);
    else
        add.operator()<ElfW(Rel)>(plt, plt_size);
    return 1;
}

// The file a loaded address belongs to, and that file's base.
struct Place {
    std::string file;
    const void *base = nullptr;
};
std::optional<Place> place_of(const void *address)
{
    Dl_info info{};
    if (!address || !dladdr(address, &info) || !info.dli_fname)
        return std::nullopt;
    return Place{info.dli_fname, info.dli_fbase};
}

}  // namespace

std::optional<std::string> interposition_failure(const MendedLibrary &library)
{
    const std::optional<Place> program = place_of(reinterpret_cast<const void *>(&interposition_failure));
    const std::optional<Place> library_place = place_of(dlsym(RTLD_DEFAULT, library.anchor));
    if (!program || !library_place)
        return std::string("the loaded library that defines ") + library.anchor + " cannot be found";
    Imports imports{library_place->file, {}, false};
    dl_iterate_phdr(read_imports, &imports);
    if (!imports.found || imports.names.empty())
        return "the dynamic relocations of " + library_place->file + " cannot be read";
    for (const char *name : library.mended) {
        const std::optional<Place> first = place_of(dlsym(RTLD_DEFAULT, name));
        if (!first || first->base != program->base)
            return std::string("the application's ") + name + " is not the one the dynamic linker finds first" +
                   (first ? " (" + first->file + " is)" : std::string());
        const std::optional<Place> original = place_of(dlsym(RTLD_NEXT, name));
        if (!original)
            return std::string("no library defines ") + name + ", which the application puts in front of it";
        if (!imports.names.count(name))
            return library_place->file + " calls " + name + " inside itself, past the application's definition (it was " +
                   "linked with its own calls bound, or the function was renamed)";
    }
    for (const char *name : library.called)
        if (const std::optional<Place> called = place_of(dlsym(RTLD_DEFAULT, name));
            !called || called->base != library_place->base)
            return library_place->file + " has no " + name + ", which the application calls";
    return std::nullopt;
}

}  // namespace quillet::app
