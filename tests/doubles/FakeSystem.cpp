#include "FakeSystem.h"

#include <cstring>

FakeSystem::FakeSystem() {
    memset(&m_version, 0, sizeof m_version);
    m_previous = OsSetSystemApi(this);
}

FakeSystem::~FakeSystem() {
    OsSetSystemApi(m_previous);
}

void FakeSystem::SetVersion(unsigned long platformId, unsigned long major, unsigned long minor) {
    m_version.platformId = platformId;
    m_version.major = major;
    m_version.minor = minor;
}

void FakeSystem::SetArchitecture(const std::string& value) {
    m_arch = value;
    m_archFails = false;
}

void FakeSystem::FailArchitectureAfterWriting(const std::string& scribble) {
    m_archFails = true;
    m_scribble = scribble;
}

void FakeSystem::FillArchitectureWithoutTerminator(char fill) {
    m_archFails = false;
    m_fillWithoutTerminator = fill;
}

void FakeSystem::GetVersion(OsVersion* version) {
    m_versionQueries.fetch_add(1);
    *version = m_version;
}

bool FakeSystem::ReadProcessorArchitecture(char* buffer, unsigned long size) {
    m_archQueries.fetch_add(1);
    m_lastArchSize = size;
    if (m_archFails) {
        if (!m_scribble.empty() && size > 0) {
            memcpy(buffer, m_scribble.data(), m_scribble.size() < size ? m_scribble.size() : size);
        }
        return false;
    }
    if (m_fillWithoutTerminator != '\0') {
        memset(buffer, m_fillWithoutTerminator, size);
        return true;
    }
    if (m_arch.size() + 1 > size)
        return false;
    memcpy(buffer, m_arch.c_str(), m_arch.size() + 1);
    return true;
}
