// Prints the application manifest embedded in a Windows executable (resource
// type RT_MANIFEST, identifier 1) and its machine type, so that a release can
// be checked against the manifest it was meant to carry. Built for the host.
//   pe_manifest <program.exe> <manifest output file>
// Exit status: 0 found, 1 no such resource, 2 not a readable PE file.
#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Image {
    std::vector<unsigned char> bytes;

    // Every read is checked against the file's end: the input is outside data.
    bool u16(uint64_t at, uint32_t* out) const {
        if (at + 2 > bytes.size())
            return false;
        *out = bytes[at] | (bytes[at + 1] << 8);
        return true;
    }
    bool u32(uint64_t at, uint32_t* out) const {
        if (at + 4 > bytes.size())
            return false;
        *out = bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
               (static_cast<uint32_t>(bytes[at + 3]) << 24);
        return true;
    }
};

struct Section {
    uint32_t va, vsize, rawSize, rawPtr;
};

bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint64_t* off) {
    for (const Section& s : sections) {
        uint32_t span = s.vsize > s.rawSize ? s.vsize : s.rawSize;
        if (rva >= s.va && rva - s.va < span && rva - s.va < s.rawSize) {
            *off = static_cast<uint64_t>(s.rawPtr) + (rva - s.va);
            return true;
        }
    }
    return false;
}

// The entry for `id` in the resource directory at `dir` (an offset from the
// resource section's start), or the first entry when `id` is negative.
bool FindEntry(const Image& img, uint64_t base, uint32_t dir, long id, uint32_t* target) {
    uint32_t named = 0, ids = 0;
    if (!img.u16(base + dir + 12, &named) || !img.u16(base + dir + 14, &ids))
        return false;
    for (uint32_t i = 0; i < named + ids; ++i) {
        uint32_t name = 0, data = 0;
        uint64_t entry = base + dir + 16 + 8ull * i;
        if (!img.u32(entry, &name) || !img.u32(entry + 4, &data))
            return false;
        if (id < 0 || (!(name & 0x80000000u) && name == static_cast<uint32_t>(id))) {
            *target = data;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: pe_manifest <program.exe> <manifest output file>\n");
        return 2;
    }
    Image img;
    {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            fprintf(stderr, "pe_manifest: cannot read %s\n", argv[1]);
            return 2;
        }
        img.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    uint32_t peAt = 0, sig = 0, machine = 0, nSections = 0, optSize = 0, magic = 0;
    if (img.bytes.size() < 64 || img.bytes[0] != 'M' || img.bytes[1] != 'Z' ||
        !img.u32(0x3C, &peAt) || !img.u32(peAt, &sig) || sig != 0x4550 ||
        !img.u16(peAt + 4, &machine) || !img.u16(peAt + 6, &nSections) ||
        !img.u16(peAt + 20, &optSize) || !img.u16(peAt + 24, &magic)) {
        fprintf(stderr, "pe_manifest: %s is not a PE file\n", argv[1]);
        return 2;
    }
    uint64_t opt = peAt + 24ull;
    uint64_t dirs = magic == 0x20b ? opt + 112 : opt + 96;
    uint32_t nDirs = 0, rsrcRva = 0, rsrcSize = 0;
    if ((magic != 0x10b && magic != 0x20b) ||
        !img.u32(magic == 0x20b ? opt + 108 : opt + 92, &nDirs) || nDirs < 3 ||
        !img.u32(dirs + 16, &rsrcRva) || !img.u32(dirs + 20, &rsrcSize)) {
        fprintf(stderr, "pe_manifest: %s has no data directories\n", argv[1]);
        return 2;
    }
    std::vector<Section> sections;
    for (uint32_t i = 0; i < nSections; ++i) {
        uint64_t at = opt + optSize + 40ull * i;
        Section s{};
        if (!img.u32(at + 8, &s.vsize) || !img.u32(at + 12, &s.va) ||
            !img.u32(at + 16, &s.rawSize) || !img.u32(at + 20, &s.rawPtr))
            return 2;
        sections.push_back(s);
    }
    printf("machine: %s\n", machine == 0x14c ? "i386" : machine == 0x8664 ? "amd64" : "other");
    uint64_t base = 0;
    uint32_t type = 0, name = 0, lang = 0, dataRva = 0, dataSize = 0;
    uint64_t dataAt = 0;
    // Type 24 (RT_MANIFEST), identifier 1, the first language; each level is a subdirectory.
    if (rsrcRva == 0 || !RvaToOffset(sections, rsrcRva, &base) ||
        !FindEntry(img, base, 0, 24, &type) || !(type & 0x80000000u) ||
        !FindEntry(img, base, type & 0x7FFFFFFFu, 1, &name) || !(name & 0x80000000u) ||
        !FindEntry(img, base, name & 0x7FFFFFFFu, -1, &lang) || (lang & 0x80000000u) ||
        !img.u32(base + lang, &dataRva) || !img.u32(base + lang + 4, &dataSize) ||
        !RvaToOffset(sections, dataRva, &dataAt) || dataAt + dataSize > img.bytes.size()) {
        fprintf(stderr, "pe_manifest: %s embeds no application manifest\n", argv[1]);
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(img.bytes.data() + dataAt), dataSize);
    if (!out) {
        fprintf(stderr, "pe_manifest: cannot write %s\n", argv[2]);
        return 2;
    }
    printf("manifest: %u bytes\n", dataSize);
    return 0;
}
