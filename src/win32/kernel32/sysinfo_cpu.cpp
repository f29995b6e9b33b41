// IsProcessorFeaturePresent for the Linux build: the host processor as the
// kernel reports it, unless the registry store pins a feature. A pin is a
// REG_DWORD under the key
//   HKLM\HARDWARE\DESCRIPTION\System\CentralProcessor\0\ProcessorFeatures
// named by the feature number in decimal ("10" = SSE2);
// non-zero means present. Tests and example machines use pins to say, for
// instance, "no SSE2".
#include "kernel32/sysinfo_cpu.h"

#include "kernel32/machine_profile.h"
#include "kernel32/run_report.h"
#include "kernel32/sysinfo.h"
#include "kernel32/text.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tw {

namespace {

const char16_t kFeaturePins[] =
    u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\\ProcessorFeatures";

// Bound on what is read of the cpuinfo file: the first processor's block is
// a few kilobytes.
const size_t kMaxCpuInfoBytes = 1 << 20;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

unsigned toUnsigned(const std::string& s) {
    unsigned long v = strtoul(s.c_str(), nullptr, 0);
    return v > 0xFFFF ? 0xFFFF : static_cast<unsigned>(v);
}

void splitWords(const std::string& text, std::vector<std::string>& out) {
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        out.push_back(word);
}

#if defined(__x86_64__) || defined(__i386__)
// The processor's own answer, for a host without /proc.
void cpuidFlags(HostCpu& cpu) {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return;
    cpu.x86 = true;
    unsigned family = (a >> 8) & 0xF, model = (a >> 4) & 0xF;
    if (family == 0xF)
        family += (a >> 20) & 0xFF;
    if (family == 0x6 || family >= 0xF)
        model += ((a >> 16) & 0xF) << 4;
    cpu.family = family;
    cpu.model = model;
    cpu.stepping = a & 0xF;
    struct Bit {
        unsigned* reg;
        int bit;
        const char* name;
    };
    const Bit leaf1[] = {{&d, 0, "fpu"},    {&d, 4, "tsc"},     {&d, 6, "pae"},
                         {&d, 8, "cx8"},    {&d, 23, "mmx"},    {&d, 25, "sse"},
                         {&d, 26, "sse2"},  {&c, 0, "pni"},     {&c, 9, "ssse3"},
                         {&c, 13, "cx16"},  {&c, 19, "sse4_1"}, {&c, 20, "sse4_2"},
                         {&c, 26, "xsave"}, {&c, 28, "avx"},    {&c, 30, "rdrand"}};
    for (const auto& bit : leaf1)
        if (*bit.reg & (1u << bit.bit))
            cpu.flags.push_back(bit.name);
    if (__get_cpuid(0x80000001, &a, &b, &c, &d)) {
        if (d & (1u << 20))
            cpu.flags.push_back("nx");
        if (d & (1u << 27))
            cpu.flags.push_back("rdtscp");
        if (d & (1u << 31))
            cpu.flags.push_back("3dnow");
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        if (b & (1u << 0))
            cpu.flags.push_back("fsgsbase");
        if (b & (1u << 5))
            cpu.flags.push_back("avx2");
        if (b & (1u << 16))
            cpu.flags.push_back("avx512f");
        if (c & (1u << 22))
            cpu.flags.push_back("rdpid");
    }
    cpu.valid = true;
}

// Denormals-are-zero: the MXCSR mask that FXSAVE stores has bit 6 set.
bool hostHasDaz() {
    alignas(16) unsigned char area[512] = {};
    __asm__ volatile("fxsave %0" : "=m"(area));
    unsigned mask =
        area[28] | (area[29] << 8) | (area[30] << 16) | (static_cast<unsigned>(area[31]) << 24);
    if (mask == 0)
        mask = 0xFFBF; // the documented default: no DAZ
    return (mask & 0x40) != 0;
}
#else
void cpuidFlags(HostCpu&) {}
bool hostHasDaz() {
    return false;
}
#endif

} // namespace

bool HostCpu::hasFlag(const char* flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

HostCpu ReadHostCpu() {
    HostCpu cpu;
    const char* path = getenv("TW_CPUINFO");
    if (path == nullptr || *path == '\0')
        path = "/proc/cpuinfo";
    std::ifstream in(path);
    if (!in) {
        cpuidFlags(cpu);
        return cpu;
    }
    std::string line;
    size_t total = 0;
    bool inBlock = false;
    while (total < kMaxCpuInfoBytes && std::getline(in, line)) {
        total += line.size() + 1;
        std::string t = trim(line);
        if (t.empty()) {
            if (inBlock)
                break; // only the first processor
            continue;
        }
        inBlock = true;
        size_t colon = t.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = trim(t.substr(0, colon));
        std::string value = trim(t.substr(colon + 1));
        if (key == "cpu family") {
            cpu.x86 = true;
            cpu.family = toUnsigned(value);
        } else if (key == "model") {
            cpu.model = toUnsigned(value);
        } else if (key == "stepping") {
            cpu.stepping = toUnsigned(value);
        } else if (key == "flags" || key == "Features") {
            splitWords(value, cpu.flags);
        }
    }
    cpu.valid = true;
    return cpu;
}

namespace {

bool hostFeature(DWORD feature) {
    HostCpu cpu = ReadHostCpu();
    auto has = [&](const char* f) { return cpu.hasFlag(f); };
    switch (feature) {
    case 0: // PF_FLOATING_POINT_PRECISION_ERRATA
        return false;
    case 1: // PF_FLOATING_POINT_EMULATED
        return cpu.x86 && !has("fpu");
    case 2: // PF_COMPARE_EXCHANGE_DOUBLE
        return has("cx8") || has("aarch64") || !cpu.x86;
    case 3: // PF_MMX_INSTRUCTIONS_AVAILABLE
        return has("mmx");
    case PF_XMMI_INSTRUCTIONS_AVAILABLE:
        return has("sse");
    case 7: // PF_3DNOW_INSTRUCTIONS_AVAILABLE
        return has("3dnow");
    case 8: // PF_RDTSC_INSTRUCTION_AVAILABLE
        return has("tsc");
    case PF_PAE_ENABLED:
        return has("pae");
    case PF_XMMI64_INSTRUCTIONS_AVAILABLE:
        return has("sse2");
    case 11: // PF_SSE_DAZ_MODE_AVAILABLE
        return has("sse2") && hostHasDaz();
    case PF_NX_ENABLED:
        return has("nx");
    case PF_SSE3_INSTRUCTIONS_AVAILABLE:
        return has("pni");
    case 14: // PF_COMPARE_EXCHANGE128
        return has("cx16");
    case 17: // PF_XSAVE_ENABLED
        return has("xsave");
    case 19: // PF_ARM_NEON_INSTRUCTIONS_AVAILABLE
        return has("neon") || has("asimd");
    case 20: // PF_SECOND_LEVEL_ADDRESS_TRANSLATION
        return has("ept") || has("npt");
    case 21: // PF_VIRT_FIRMWARE_ENABLED
        return has("vmx") || has("svm");
    case 22: // PF_RDWRFSGSBASE_AVAILABLE
        return has("fsgsbase");
    case 23: { // PF_FASTFAIL_AVAILABLE: a feature of Windows 8 and later
        MachineVersion v = ReadMachineVersion();
        return v.major > 6 || (v.major == 6 && v.minor >= 2);
    }
    case 28: // PF_RDRAND_INSTRUCTION_AVAILABLE
        return has("rdrand");
    case 30: // PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE
        return has("aes") && has("pmull") && !cpu.x86;
    case 31: // PF_ARM_V8_CRC32_INSTRUCTIONS_AVAILABLE
        return has("crc32") && !cpu.x86;
    case 32: // PF_RDTSCP_INSTRUCTION_AVAILABLE
        return has("rdtscp");
    case 33: // PF_RDPID_INSTRUCTION_AVAILABLE
        return has("rdpid");
    case 34: // PF_ARM_V81_ATOMIC_INSTRUCTIONS_AVAILABLE
        return has("atomics");
    case 35: // PF_MONITORX_INSTRUCTION_AVAILABLE
        return has("mwaitx");
    case 36: // PF_SSSE3_INSTRUCTIONS_AVAILABLE
        return has("ssse3");
    case 37: // PF_SSE4_1_INSTRUCTIONS_AVAILABLE
        return has("sse4_1");
    case 38: // PF_SSE4_2_INSTRUCTIONS_AVAILABLE
        return has("sse4_2");
    case 39: // PF_AVX_INSTRUCTIONS_AVAILABLE
        return has("avx");
    case 40: // PF_AVX2_INSTRUCTIONS_AVAILABLE
        return has("avx2");
    case 41: // PF_AVX512F_INSTRUCTIONS_AVAILABLE
        return has("avx512f");
    default:
        return false;
    }
}

} // namespace

} // namespace tw

extern "C" {

BOOL IsProcessorFeaturePresent(DWORD feature) {
    try {
        std::u16string name = tw::Utf8ToUtf16(std::to_string(feature));
        DWORD pinned = 0;
        if (tw::ReadMachineDword(tw::kFeaturePins, name.c_str(), pinned))
            return pinned != 0 ? TRUE : FALSE;
        bool present = tw::hostFeature(feature);
        tw::NoteAssumption(tw::kFeaturePins, name.c_str(), present ? u"1" : u"0",
                           tw::AssumedFrom::Host);
        return present ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

} // extern "C"
