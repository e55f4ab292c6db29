// A system-description double: version numbers, the 64-bit flag and the processor architecture
// text are set by the test, and the architecture query can fail (no key, value too large).
#pragma once

#include <atomic>
#include <string>

#include "os/Os.h"

class FakeSystem : public OsSystemApi {
  public:
    FakeSystem();            // installs itself
    ~FakeSystem() override;  // puts the previous table back

    void SetVersion(unsigned long platformId, unsigned long major, unsigned long minor);
    void Set64Bit(bool is64) { m_is64 = is64; }
    // The architecture value as the system stores it. A value that needs more bytes than the
    // caller's buffer makes the query fail, as a value too large for it does.
    void SetArchitecture(const std::string& value);
    // The query fails outright (key missing or not readable).
    void FailArchitecture() { m_archFails = true; }
    // The query writes `scribble` into the buffer before it fails.
    void FailArchitectureAfterWriting(const std::string& scribble);
    // The query fills the whole buffer with `fill` characters and no terminator, and succeeds.
    void FillArchitectureWithoutTerminator(char fill);

    int ArchitectureQueries() const { return m_archQueries.load(); }
    int VersionQueries() const { return m_versionQueries.load(); }
    unsigned long LastArchitectureBufferSize() const { return m_lastArchSize; }

    void GetVersion(OsVersion* version) override;
    bool Is64BitSystem() override { return m_is64; }
    bool ReadProcessorArchitecture(char* buffer, unsigned long size) override;

  private:
    OsVersion m_version;
    bool m_is64 = false;
    std::string m_arch = "AMD64";
    bool m_archFails = false;
    std::string m_scribble;
    char m_fillWithoutTerminator = '\0';
    unsigned long m_lastArchSize = 0;
    std::atomic<int> m_archQueries{0};
    std::atomic<int> m_versionQueries{0};
    OsSystemApi* m_previous;
};
