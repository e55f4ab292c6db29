#include "FakeSockets.h"

#include <cstring>

namespace {
const OsSocket kFirstSocket = 100;
}

FakeSockets::FakeSockets() {
    m_previous = OsSetSocketApi(this);
}

FakeSockets::~FakeSockets() {
    OsSetSocketApi(m_previous);
}

void FakeSockets::SetStartResult(bool ok) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startResult = ok;
}

void FakeSockets::AddConnection(const FakeConnectionScript& script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scripts.push_back(script);
}

void FakeSockets::SetDefault(const FakeConnectionScript& script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_default = script;
}

void FakeSockets::SetOnPeek(std::function<void(int, int)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onPeek = std::move(hook);
}

void FakeSockets::SetOnConnect(std::function<void(int)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onConnect = std::move(hook);
}

int FakeSockets::StartCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_startCalls;
}

std::vector<FakeConnection> FakeSockets::Connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<FakeConnection> records;
    for (const Slot& slot : m_slots)
        records.push_back(slot.record);
    return records;
}

int FakeSockets::OpenSocketCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    int open = 0;
    for (const Slot& slot : m_slots) {
        if (slot.record.opened && !slot.record.closed)
            ++open;
    }
    return open;
}

int FakeSockets::Misuses() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_misuses;
}

FakeSockets::Slot* FakeSockets::Find(OsSocket socket) {
    const OsSocket index = socket - kFirstSocket;
    if (index < 0 || index >= static_cast<OsSocket>(m_slots.size())) {
        ++m_misuses;
        return nullptr;
    }
    Slot* slot = &m_slots[static_cast<size_t>(index)];
    if (!slot->record.opened || slot->record.closed) {
        ++m_misuses;
        return nullptr;
    }
    return slot;
}

bool FakeSockets::StartSockets() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_startCalls;
    return m_startResult;
}

OsSocket FakeSockets::OpenSocket() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot slot;
    const size_t index = m_slots.size();
    slot.script = index < m_scripts.size() ? m_scripts[index] : m_default;
    slot.record.opened = !slot.script.openFails;
    m_slots.push_back(slot);
    if (!slot.record.opened)
        return OS_INVALID_SOCKET;
    return kFirstSocket + static_cast<OsSocket>(index);
}

bool FakeSockets::ResolveHost(const char* host, uint32_t* address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The look-up is not tied to a socket: it belongs to the latest connection.
    if (m_slots.empty()) {
        ++m_misuses;
        return false;
    }
    Slot& slot = m_slots.back();
    slot.record.resolvedHost = host != nullptr ? host : "";
    if (slot.script.resolveFails)
        return false;
    *address = kServerAddress;
    return true;
}

bool FakeSockets::Connect(OsSocket socket, uint32_t address, unsigned short port) {
    std::function<void(int)> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hook = m_onConnect;
    }
    if (hook)
        hook(static_cast<int>(socket - kFirstSocket));
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot* slot = Find(socket);
    if (slot == nullptr)
        return false;
    slot->record.address = address;
    slot->record.port = port;
    slot->record.connectMs = OsNowMs();
    if (slot->script.connectFails)
        return false;
    slot->record.connected = true;
    return true;
}

long FakeSockets::Send(OsSocket socket, const char* data, long count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot* slot = Find(socket);
    if (slot == nullptr || count < 0)
        return -1;
    FakeConnection& record = slot->record;
    if (!record.connected) {
        ++m_misuses;
        return -1;
    }
    const bool first = record.sendSizes.empty();
    record.sendSizes.push_back(count);
    record.lastSendMs = OsNowMs();
    if (record.nonBlocking)
        record.sentAfterNonBlocking = true;
    long take = count;
    if (first && slot->script.headerSendResult != -2) {
        if (slot->script.headerSendResult < 0)
            return slot->script.headerSendResult;
        if (slot->script.headerSendResult < take)
            take = slot->script.headerSendResult;
        record.sent.append(data, static_cast<size_t>(take));
        return slot->script.headerSendResult;
    }
    if (slot->script.failSendsAfter >= 0) {
        const long left = slot->script.failSendsAfter - static_cast<long>(record.sent.size());
        if (left <= 0)
            return -1;
        if (left < take)
            take = left;
    }
    if (!first && slot->script.sendLimit > 0 && slot->script.sendLimit < take) {
        take = slot->script.sendLimit;
    }
    record.sent.append(data, static_cast<size_t>(take));
    return take;
}

bool FakeSockets::SetNonBlocking(OsSocket socket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot* slot = Find(socket);
    if (slot == nullptr)
        return false;
    slot->record.nonBlocking = true;
    return true;
}

long FakeSockets::Peek(OsSocket socket, char* buffer, long count) {
    long result = -1;
    int connection = 0;
    int peek = 0;
    std::function<void(int, int)> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Slot* slot = Find(socket);
        if (slot == nullptr)
            return -1;
        FakeConnection& record = slot->record;
        peek = record.peeks++;
        connection = static_cast<int>(socket - kFirstSocket);
        if (count > record.largestPeek)
            record.largestPeek = count;
        const std::string& answer = slot->script.answer;
        if (!answer.empty() && peek >= slot->script.answerAfterPeeks && count > 0) {
            result =
                static_cast<long>(answer.size()) < count ? static_cast<long>(answer.size()) : count;
            memcpy(buffer, answer.data(), static_cast<size_t>(result));
        }
        hook = m_onPeek;
    }
    if (hook)
        hook(connection, peek);
    return result;
}

void FakeSockets::CloseSocket(OsSocket socket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot* slot = Find(socket);
    if (slot == nullptr)
        return;
    slot->record.closed = true;
    slot->record.closeCalls++;
    slot->record.closeMs = OsNowMs();
}
