// The system description: the Windows version by name, the bitness and the processor
// architecture, as one line of text.
//
// The decision table (ComposeVersionText) is pure; the three queries that feed it go through the
// OS layer (OsSystem()), so any platform can supply the same five inputs.
#include "sysinfo/SystemDescription.h"

#include <cstdio>
#include <cstring>

#include "os/Os.h"

char g_osDescription[128];
char g_cpuArch[32] = "x86";
unsigned long g_osPlatformId;
unsigned long g_osMajorVersion;
unsigned long g_osMinorVersion;

namespace {
const char kVersionPrefix[] = "Windows ";
const char kDefaultArch[] = "AMD64";
const unsigned long kArchBufferSize = 32;

// The version numbers are 32-bit values; a back end that reports wider ones is cut to 32 bits so
// that the description keeps within its 127 characters.
unsigned long Keep32Bits(unsigned long value) {
    return value & 0xFFFFFFFFUL;
}
}  // namespace

bool ProbeWow64() {
    return OsSystem()->Is64BitSystem();
}

int WindowsBitness() {
    return ProbeWow64() ? 64 : 32;
}

void ReadProcessorArchitecture() {
    char buffer[kArchBufferSize];
    memset(buffer, 0, sizeof buffer);
    snprintf(buffer, sizeof buffer, "%s", kDefaultArch);
    if (!OsSystem()->ReadProcessorArchitecture(buffer, kArchBufferSize)) {
        memset(buffer, 0, sizeof buffer);
        snprintf(buffer, sizeof buffer, "%s", kDefaultArch);
    }
    // A value that fills all 32 bytes without a terminator still yields at most 31 characters.
    memset(g_cpuArch, 0, sizeof g_cpuArch);
    const size_t length = strnlen(buffer, sizeof g_cpuArch - 1);
    memcpy(g_cpuArch, buffer, length);
}

void ComposeVersionText(char* text, size_t size, unsigned long platformId, unsigned long major,
                        unsigned long minor) {
    if (text == nullptr || size == 0)
        return;
    const char* name = nullptr;
    int fallbackForm = 0;
    if (platformId == 0) {
        if (minor == 1) {
            name = "3.1";
        } else if (minor == 11) {
            name = "3.11";
        } else {
            fallbackForm = 1;
        }
    } else if (platformId == 1) {
        if (major == 4 && minor == 0) {
            name = "95";
        } else if (major == 4 && minor == 10) {
            name = "98";
        } else if (major == 4 && minor == 90) {
            name = "ME";
        } else {
            fallbackForm = 2;
        }
    } else if (platformId == 2) {
        if (major == 3) {
            snprintf(text, size, "%sNT 3.%lu", kVersionPrefix, minor);
            return;
        }
        if (major == 4 && minor == 0) {
            name = "NT 4.0";
        } else if (major == 5 && minor == 0) {
            name = "2000";
        } else if (major == 5 && minor == 1) {
            name = "XP";
        } else if (major == 5 && minor == 2) {
            name = "Server 2003 family";
        } else if (major == 6 && minor == 0) {
            name = "Vista";
        } else if (major == 6 && minor == 1) {
            name = "7 or 2008 R2";
        } else if (major == 6 && minor == 2) {
            name = "8";
        } else if (major == 6 && minor == 3) {
            name = "8.1";
        } else if (major == 10 && minor == 0) {
            name = "10";
        } else {
            fallbackForm = 3;
        }
    } else {
        fallbackForm = 4;
    }
    if (name != nullptr) {
        snprintf(text, size, "%s%s", kVersionPrefix, name);
    } else {
        // Which branch gave up, then the platform id and the version, all unsigned decimal.
        snprintf(text, size, "%sUnknown(%d) PF%lu %lu.%lu", kVersionPrefix, fallbackForm,
                 platformId, major, minor);
    }
}

void DescribeWindows() {
    const int bitness = WindowsBitness();
    const char* bitnessWord = bitness == 64 ? "64bit" : "32bit";
    if (bitness == 64)
        ReadProcessorArchitecture();

    OsVersion version;
    memset(&version, 0, sizeof version);
    OsSystem()->GetVersion(&version);
    g_osPlatformId = Keep32Bits(version.platformId);
    g_osMajorVersion = Keep32Bits(version.major);
    g_osMinorVersion = Keep32Bits(version.minor);

    char versionText[64];  // the longest version text has 53 characters
    memset(versionText, 0, sizeof versionText);
    ComposeVersionText(versionText, sizeof versionText, g_osPlatformId, g_osMajorVersion,
                       g_osMinorVersion);
    snprintf(g_osDescription, sizeof g_osDescription, "%s, %s, CPU: %s", versionText, bitnessWord,
             g_cpuArch);
}
