// One line that describes the PC's operating system: version, bitness and processor.
#pragma once

#include <cstddef>

extern char g_osDescription[128];
extern char g_cpuArch[32];
extern unsigned long g_osPlatformId;
extern unsigned long g_osMajorVersion;
extern unsigned long g_osMinorVersion;

// Fills the five globals above, once per run.
void DescribeWindows();
bool ProbeWow64();
int WindowsBitness();
void ReadProcessorArchitecture();

// The decision table: the version text of a platform id, major and minor version.
void ComposeVersionText(char* text, size_t size, unsigned long platformId, unsigned long major,
                        unsigned long minor);
