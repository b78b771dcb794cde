#include "platform/com/search_path.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <optional>

namespace korvane::libraries {

namespace {

constexpr unsigned char kNativeData = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;

// Reads of a file that may be cut short or lie about its offsets.
class File {
public:
  explicit File(const std::string& path) : in_(path, std::ios::binary) {}

  template <class T>
  std::optional<T> read(std::uint64_t offset) {
    T value{};
    if (!bytes(offset, &value, sizeof value)) return std::nullopt;
    return value;
  }

  // The NUL-terminated text at `offset`, found within `limit` bytes (and
  // a length no real search path comes near).
  std::optional<std::string> text(std::uint64_t offset, std::uint64_t limit) {
    constexpr std::uint64_t kLongest = 65536;
    std::string out;
    for (std::uint64_t i = 0; i < std::min(limit, kLongest); ++i) {
      auto c = read<char>(offset + i);
      if (!c) return std::nullopt;
      if (*c == '\0') return out;
      out += *c;
    }
    return std::nullopt;
  }

private:
  bool bytes(std::uint64_t offset, void* out, std::size_t size) {
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
    return in_.gcount() == static_cast<std::streamsize>(size);
  }

  std::ifstream in_;
};

// Where an address of the loaded image lies in the file.
std::optional<std::uint64_t> fileOffset(const std::vector<Elf64_Phdr>& loads, std::uint64_t address) {
  for (const Elf64_Phdr& p : loads)
    if (address >= p.p_vaddr && address - p.p_vaddr < p.p_filesz) return p.p_offset + (address - p.p_vaddr);
  return std::nullopt;
}

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (std::size_t colon; (colon = list.find(':', from)) != std::string::npos; from = colon + 1)
    out.push_back(list.substr(from, colon - from));
  out.push_back(list.substr(from));
  return out;
}

} // namespace

std::vector<std::string> searchPathOf(const std::string& path) {
  File f(path);
  auto header = f.read<Elf64_Ehdr>(0);
  if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64 ||
      header->e_ident[EI_DATA] != kNativeData || header->e_phentsize != sizeof(Elf64_Phdr))
    return {};

  std::vector<Elf64_Phdr> loads;
  std::optional<Elf64_Phdr> dynamic;
  for (std::uint64_t i = 0; i < header->e_phnum; ++i) {
    auto segment = f.read<Elf64_Phdr>(header->e_phoff + i * sizeof(Elf64_Phdr));
    if (!segment) return {};
    if (segment->p_type == PT_LOAD) loads.push_back(*segment);
    if (segment->p_type == PT_DYNAMIC) dynamic = *segment;
  }
  if (!dynamic) return {};

  std::optional<std::uint64_t> strings, stringsSize, runpath, rpath;
  for (std::uint64_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic->p_filesz; at += sizeof(Elf64_Dyn)) {
    auto entry = f.read<Elf64_Dyn>(dynamic->p_offset + at);
    if (!entry || entry->d_tag == DT_NULL) break;
    if (entry->d_tag == DT_STRTAB) strings = entry->d_un.d_ptr;
    if (entry->d_tag == DT_STRSZ) stringsSize = entry->d_un.d_val;
    if (entry->d_tag == DT_RUNPATH) runpath = entry->d_un.d_val;
    if (entry->d_tag == DT_RPATH) rpath = entry->d_un.d_val;
  }
  // The loader ignores RPATH when RUNPATH is there.
  const auto chosen = runpath ? runpath : rpath;
  if (!chosen || !strings || !stringsSize || *chosen >= *stringsSize) return {};
  auto table = fileOffset(loads, *strings);
  if (!table) return {};
  auto list = f.text(*table + *chosen, *stringsSize - *chosen);
  return list ? split(*list) : std::vector<std::string>{};
}

} // namespace korvane::libraries
