#include "elf_symbols.h"

#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace {

template <class T>
T read_at(const std::vector<char>& file, size_t offset) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) throw std::runtime_error("ELF read past the end");
    T v;
    std::memcpy(&v, file.data() + offset, sizeof v);
    return v;
}

template <class Ehdr, class Shdr, class Sym, unsigned char (*Bind)(unsigned char)>
std::vector<DynamicSymbol> dynamic_table(const std::vector<char>& file) {
    const auto eh = read_at<Ehdr>(file, 0);
    if (eh.e_shentsize != sizeof(Shdr)) throw std::runtime_error("unexpected section header size");
    auto section = [&](size_t i) { return read_at<Shdr>(file, eh.e_shoff + i * sizeof(Shdr)); };

    // The version index of each dynamic symbol, when the object has symbol versions.
    std::vector<uint16_t> versions;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Shdr sh = section(i);
        if (sh.sh_type != SHT_GNU_versym) continue;
        for (size_t k = 0; k < sh.sh_size / sizeof(uint16_t); ++k)
            versions.push_back(read_at<uint16_t>(file, sh.sh_offset + k * sizeof(uint16_t)));
    }

    std::vector<DynamicSymbol> symbols;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Shdr sh = section(i);
        if (sh.sh_type != SHT_DYNSYM) continue;
        if (sh.sh_entsize != sizeof(Sym) || sh.sh_link >= eh.e_shnum) throw std::runtime_error("bad .dynsym");
        const Shdr strtab = section(sh.sh_link);
        for (size_t k = 0; k < sh.sh_size / sizeof(Sym); ++k) {
            const Sym s = read_at<Sym>(file, sh.sh_offset + k * sizeof(Sym));
            const unsigned bind = Bind(s.st_info);
            if (s.st_name == 0 || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
            if (s.st_name >= strtab.sh_size) throw std::runtime_error("bad symbol name offset");
            const size_t at = strtab.sh_offset + s.st_name;
            if (at >= file.size()) throw std::runtime_error("symbol name past the end");
            const char* begin = file.data() + at;
            const size_t room = std::min<size_t>(strtab.sh_size - s.st_name, file.size() - at);
            const char* end = static_cast<const char*>(std::memchr(begin, 0, room));
            if (!end) throw std::runtime_error("unterminated symbol name");
            DynamicSymbol d;
            d.name.assign(begin, end);
            d.defined = s.st_shndx != SHN_UNDEF;
            d.weak = bind == STB_WEAK;
            // 0 is local, 1 the unversioned global; higher indices name a version.
            d.versioned = k < versions.size() && (versions[k] & 0x7fff) >= 2;
            symbols.push_back(std::move(d));
        }
    }
    return symbols;
}

// The name at `offset` in string table `strtab`, checked against both the table and the file.
template <class Shdr>
std::string string_at(const std::vector<char>& file, const Shdr& strtab, size_t offset) {
    if (offset >= strtab.sh_size) throw std::runtime_error("bad string offset");
    const size_t at = strtab.sh_offset + offset;
    if (at >= file.size()) throw std::runtime_error("string past the end");
    const size_t room = std::min<size_t>(strtab.sh_size - offset, file.size() - at);
    const char* begin = file.data() + at;
    const char* end = static_cast<const char*>(std::memchr(begin, 0, room));
    if (!end) throw std::runtime_error("unterminated string");
    return std::string(begin, end);
}

template <class Ehdr, class Shdr, class Dyn>
void dependencies(const std::vector<char>& file, std::vector<NeededVersion>* versions,
                  std::vector<std::string>* libraries) {
    const auto eh = read_at<Ehdr>(file, 0);
    if (eh.e_shentsize != sizeof(Shdr)) throw std::runtime_error("unexpected section header size");
    auto section = [&](size_t i) { return read_at<Shdr>(file, eh.e_shoff + i * sizeof(Shdr)); };
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Shdr sh = section(i);
        if (versions && sh.sh_type == SHT_GNU_verneed) {
            if (sh.sh_link >= eh.e_shnum) throw std::runtime_error("bad .gnu.version_r");
            const Shdr strtab = section(sh.sh_link);
            // Verneed and Vernaux records have the same layout in both ELF classes.
            size_t need = sh.sh_offset;
            for (size_t n = 0; n < sh.sh_info; ++n) {
                const auto vn = read_at<Elf64_Verneed>(file, need);
                const std::string library = string_at(file, strtab, vn.vn_file);
                size_t aux = need + vn.vn_aux;
                for (size_t k = 0; k < vn.vn_cnt; ++k) {
                    const auto va = read_at<Elf64_Vernaux>(file, aux);
                    versions->push_back({library, string_at(file, strtab, va.vna_name)});
                    if (va.vna_next == 0) break;
                    aux += va.vna_next;
                }
                if (vn.vn_next == 0) break;
                need += vn.vn_next;
            }
        }
        if (libraries && sh.sh_type == SHT_DYNAMIC) {
            if (sh.sh_link >= eh.e_shnum || sh.sh_entsize != sizeof(Dyn)) throw std::runtime_error("bad .dynamic");
            const Shdr strtab = section(sh.sh_link);
            for (size_t k = 0; k < sh.sh_size / sizeof(Dyn); ++k) {
                const Dyn d = read_at<Dyn>(file, sh.sh_offset + k * sizeof(Dyn));
                if (d.d_tag == DT_NULL) break;
                if (d.d_tag == DT_NEEDED) libraries->push_back(string_at(file, strtab, d.d_un.d_val));
            }
        }
    }
}

std::vector<char> read_elf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0)
        throw std::runtime_error(path + " is not an ELF file");
    if (file[EI_DATA] != ELFDATA2LSB) throw std::runtime_error("only little-endian ELF is read");
    if (file[EI_CLASS] != ELFCLASS32 && file[EI_CLASS] != ELFCLASS64) throw std::runtime_error("unknown ELF class");
    return file;
}

void read_dependencies(const std::string& path, std::vector<NeededVersion>* versions,
                       std::vector<std::string>* libraries) {
    const std::vector<char> file = read_elf(path);
    if (file[EI_CLASS] == ELFCLASS32) dependencies<Elf32_Ehdr, Elf32_Shdr, Elf32_Dyn>(file, versions, libraries);
    else dependencies<Elf64_Ehdr, Elf64_Shdr, Elf64_Dyn>(file, versions, libraries);
}

unsigned char bind32(unsigned char info) { return ELF32_ST_BIND(info); }
unsigned char bind64(unsigned char info) { return ELF64_ST_BIND(info); }

}  // namespace

std::vector<DynamicSymbol> dynamic_symbols(const std::string& path) {
    const std::vector<char> file = read_elf(path);
    if (file[EI_CLASS] == ELFCLASS32) return dynamic_table<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, bind32>(file);
    return dynamic_table<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, bind64>(file);
}

std::vector<NeededVersion> needed_versions(const std::string& path) {
    std::vector<NeededVersion> out;
    read_dependencies(path, &out, nullptr);
    return out;
}

std::vector<std::string> needed_libraries(const std::string& path) {
    std::vector<std::string> out;
    read_dependencies(path, nullptr, &out);
    return out;
}

std::set<std::string> exported_symbols(const std::string& path) {
    std::set<std::string> names;
    for (const DynamicSymbol& s : dynamic_symbols(path))
        if (s.defined) names.insert(s.name);
    return names;
}
