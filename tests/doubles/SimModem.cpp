#include "SimModem.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "CausalClock.h"
#include "WindowHarness.h"
#include "resources/Resources.h"
#include "search/SearchDlg.h"

namespace {
const unsigned long kReasonNoDevice = OS_ERROR_FILE_NOT_FOUND;
const unsigned long kReasonInUse = OS_ERROR_ACCESS_DENIED;

struct ProfileText {
    SimProfile profile;
    const char* identity;               // first line of the answer to "ATI3"
    std::vector<std::string> accepted;  // setting commands answered with OK
};

const std::vector<std::string>& SettingCommands() {
    static const std::vector<std::string> commands = {
        "AT&K3",  "AT&K4", "AT&E4", "AT&E5", "AT\\Q1", "AT\\Q2", "AT\\Q3",
        "AT\\Q4", "AT&H0", "AT&H1", "AT&H2", "AT&H3",  "AT&I0",  "AT&I1",
        "AT&I2",  "AT&I3", "AT&I4", "AT&I5", "AT&R0",  "AT&R1",  "AT&R2"};
    return commands;
}

const ProfileText& TextOf(SimProfile profile) {
    static const std::vector<ProfileText> texts = {
        {SIM_GENERIC, "Generic Data Fax Modem 33600", {"AT&K3", "AT&K4", "AT\\Q1", "AT&H0"}},
        {SIM_CX93001,
         "CX93001 V.92 Data Fax Modem",
         {"AT&K3", "AT&K4", "AT\\Q3", "AT&H1", "AT&I0"}},
        {SIM_SMART_LINK, "Smart Link Soft Modem", {"AT&K3", "AT&K4", "AT&H1", "AT&I0", "AT&R2"}},
        {SIM_ZYXEL,
         "ZyXEL Fax Modem 33600",
         {"AT&K3", "AT&K4", "AT\\Q3", "AT&H1", "AT&I0", "AT&R2"}},
        {SIM_ACCEPTS_H1_I0_R2,
         "V.34 Data Fax Voice Modem",
         {"AT&K3", "AT&K4", "AT&E4", "AT&E5", "AT\\Q3", "AT&H1", "AT&I0", "AT&R2"}},
        {SIM_ACCEPTS_Q3_ONLY, "Serial Fax Modem 14400", {"AT\\Q3", "AT\\Q1", "AT&H0"}},
        {SIM_ACCEPTS_E4_E5, "Pocket Fax Modem 9600", {"AT&K3", "AT&K4", "AT&E4", "AT&E5"}},
        {SIM_ERROR_TO_SETTINGS, "Plain Data Modem 2400", {}},
        {SIM_SILENT_UART, "", {}},
        {SIM_NO_FINAL_RESULT, "Linefeed Modem 9600", {"AT&K3", "AT&K4"}},
        {SIM_ANSWERS_IN_PIECES, "Piecewise Modem 28800", {"AT&K3", "AT&K4"}},
        {SIM_LOWER_CASE, "Lowercase Modem 56000", {"AT\\Q3"}},
    };
    for (const ProfileText& text : texts) {
        if (text.profile == profile)
            return text;
    }
    return texts.front();
}

// Information lines and the final result, each framed by CR LF.
std::string Framed(const std::vector<std::string>& info, const char* final) {
    std::string out;
    for (const std::string& line : info)
        out += "\r\n" + line + "\r\n";
    out += "\r\n";
    out += final;
    out += "\r\n";
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string WithLineFeedsOnly(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r')
            out += c;
    }
    return out;
}

// The answer split in three: everything before the final code, the code, and its CR LF.
std::vector<std::string> InPieces(const std::string& answer) {
    size_t end = answer.size();
    if (end >= 2 && answer.compare(end - 2, 2, "\r\n") == 0)
        end -= 2;
    const size_t start = answer.rfind("\r\n", end == 0 ? 0 : end - 1);
    if (start == std::string::npos || end < start + 2)
        return {answer};
    return {answer.substr(0, start + 2), answer.substr(start + 2, end - start - 2),
            answer.substr(end)};
}
}  // namespace

std::string SimModem::ProfileAnswer(SimProfile profile, const std::string& command) {
    if (profile == SIM_SILENT_UART)
        return "";
    const ProfileText& text = TextOf(profile);
    std::string answer;
    const std::vector<std::string>& settings = SettingCommands();
    if (command.compare(0, 4, "AT&F") == 0) {
        answer = Framed({}, "OK");
    } else if (command == "AT&V") {
        answer = Framed({"ACTIVE PROFILE:",
                         "B0 E0 L1 M1 N1 Q0 T V1 W0 X4 Y0 &C1 &D2 &G0 &J0 &K3 &Q5 &R1 &S0 &T5",
                         "S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:050"},
                        "OK");
    } else if (command == "ATI0") {
        answer = Framed({"56000"}, "OK");
    } else if (command == "ATI1") {
        answer = Framed({"255"}, "OK");
    } else if (command == "ATI2") {
        answer = Framed({}, "OK");
    } else if (command == "ATI3") {
        answer = Framed({text.identity}, "OK");
    } else if (command == "ATI4") {
        answer = Framed({"Data/Fax Class 1 and 2"}, "OK");
    } else if (command == "ATI5") {
        answer = Framed({"Country 00"}, "OK");
    } else if (command == "ATI6") {
        answer = Framed({"Firmware 1.20", "Built 03/14"}, "OK");
    } else if (command == "AT+FCLASS=?") {
        answer = Framed({"0,1,2,2.0"}, "OK");
    } else if (command == "AT+FCLASS=0" || command == "AT+FCLASS=1" || command == "AT+FCLASS=2" ||
               command == "AT+FCLASS=2.0") {
        answer = Framed({}, "OK");
    } else if (std::find(settings.begin(), settings.end(), command) != settings.end()) {
        const bool accepted =
            std::find(text.accepted.begin(), text.accepted.end(), command) != text.accepted.end();
        answer = Framed({}, accepted ? "OK" : "ERROR");
    } else {
        answer = Framed({}, "ERROR");
    }
    if (profile == SIM_NO_FINAL_RESULT)
        answer = WithLineFeedsOnly(answer);
    if (profile == SIM_LOWER_CASE)
        answer = Lower(answer);
    return answer;
}

SimModem::SimModem() {
    m_previous = OsSetSerialApi(this);
}

SimModem::~SimModem() {
    ReleaseHang();
    OsSetSerialApi(m_previous);
}

SimModem::Port& SimModem::PortNumbered(unsigned comPort) {
    std::unique_ptr<Port>& slot = m_ports[comPort];
    if (!slot) {
        slot.reset(new Port);
        slot->comPort = comPort;
    }
    return *slot;
}

SimModem::Port* SimModem::PortOf(OsPort handle) {
    if (handle == nullptr)
        return nullptr;
    for (auto& entry : m_ports) {
        if (reinterpret_cast<OsPort>(entry.second.get()) == handle)
            return entry.second.get();
    }
    return nullptr;
}

void SimModem::AddModem(unsigned comPort, SimProfile profile) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port& port = PortNumbered(comPort);
    port.present = true;
    port.profile = profile;
}

void SimModem::FailOpen(unsigned comPort, unsigned long reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortNumbered(comPort).openFailure = reason;
}

void SimModem::SetAnswer(unsigned comPort, const std::string& command, const std::string& answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortNumbered(comPort).answers[command] = answer;
}

void SimModem::QueueInput(unsigned comPort, const std::vector<std::string>& pieces) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port& port = PortNumbered(comPort);
    port.pending.insert(port.pending.end(), pieces.begin(), pieces.end());
}

void SimModem::SetOnCommand(std::function<void(unsigned, const std::string&)> onCommand) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onCommand = std::move(onCommand);
}

void SimModem::HangOnCommand(unsigned comPort, const std::string& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortNumbered(comPort).hangOn = command;
}

bool SimModem::WaitUntilHung(unsigned timeoutMs) {
    // A real-time wait: the threads this one started must not wait for its clock meanwhile.
    CausalClock::ExcuseThisThread(true);
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool hung = m_hangChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [this] { return m_hung; });
    lock.unlock();
    CausalClock::ExcuseThisThread(false);
    return hung;
}

void SimModem::ReleaseHang() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_hangChanged.notify_all();
}

void SimModem::VanishAfter(unsigned comPort, const std::string& command) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PortNumbered(comPort).vanishAfter = command;
}

std::vector<std::string> SimModem::Commands(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).commands;
}

std::vector<uint64_t> SimModem::CommandTimes(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).commandTimes;
}

std::vector<std::string> SimModem::Writes(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).writes;
}

std::vector<uint64_t> SimModem::OpenTimes(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).openTimes;
}

int SimModem::OpenCount(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).opens;
}

int SimModem::CloseCount(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).closes;
}

int SimModem::Polls(unsigned comPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PortNumbered(comPort).polls;
}

int SimModem::PortsOpenNow() {
    std::lock_guard<std::mutex> lock(m_mutex);
    int count = 0;
    for (const auto& entry : m_ports)
        count += entry.second->open ? 1 : 0;
    return count;
}

std::vector<unsigned> SimModem::PortsOpened() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opened;
}

OsPort SimModem::OpenPort(unsigned comPort, unsigned long* reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port& port = PortNumbered(comPort);
    unsigned long failure = 0;
    if (port.openFailure != 0) {
        failure = port.openFailure;
    } else if (!port.present || port.vanished) {
        failure = kReasonNoDevice;
    } else if (port.open) {
        failure = kReasonInUse;
    }
    if (failure != 0) {
        if (reason != nullptr)
            *reason = failure;
        return nullptr;
    }
    port.open = true;
    port.opens += 1;
    port.openTimes.push_back(OsNowMs());
    port.line.clear();
    port.arrived.clear();
    m_opened.push_back(comPort);
    return reinterpret_cast<OsPort>(&port);
}

void SimModem::SetUpLine(OsPort) {}
void SimModem::PurgeOutput(OsPort) {}
void SimModem::FlushPort(OsPort) {}

void SimModem::PurgeInput(OsPort handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port* port = PortOf(handle);
    if (port != nullptr)
        port->arrived.clear();
}

unsigned long SimModem::CountInput(OsPort handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port* port = PortOf(handle);
    if (port == nullptr || !port->open)
        return 0;
    port->polls += 1;
    if (port->vanished)
        return 0;
    if (!port->pending.empty()) {
        port->arrived += port->pending.front();
        port->pending.erase(port->pending.begin());
    }
    return static_cast<unsigned long>(port->arrived.size());
}

unsigned long SimModem::ReadPort(OsPort handle, char* buffer, unsigned long count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port* port = PortOf(handle);
    if (port == nullptr || !port->open || port->vanished)
        return 0;
    const unsigned long taken = std::min<unsigned long>(count, port->arrived.size());
    memcpy(buffer, port->arrived.data(), taken);
    port->arrived.erase(0, taken);
    return taken;
}

void SimModem::Answer(Port& port, const std::string& command) {
    auto own = port.answers.find(command);
    const std::string answer =
        own != port.answers.end() ? own->second : ProfileAnswer(port.profile, command);
    if (answer.empty())
        return;
    if (port.profile == SIM_ANSWERS_IN_PIECES) {
        const std::vector<std::string> pieces = InPieces(answer);
        port.pending.insert(port.pending.end(), pieces.begin(), pieces.end());
    } else {
        port.pending.push_back(answer);
    }
}

unsigned long SimModem::WritePort(OsPort handle, const char* data, unsigned long count) {
    std::vector<std::string> received;
    std::function<void(unsigned, const std::string&)> onCommand;
    unsigned comPort = 0;
    bool hang = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Port* port = PortOf(handle);
        if (port == nullptr || !port->open)
            return 0;
        port->writes.push_back(std::string(data, count));
        if (port->vanished)
            return 0;
        comPort = port->comPort;
        for (unsigned long i = 0; i < count; ++i) {
            if (data[i] == '\r') {
                received.push_back(port->line);
                port->line.clear();
            } else if (data[i] != '\n') {
                port->line += data[i];
            }
        }
        for (const std::string& command : received) {
            port->commands.push_back(command);
            port->commandTimes.push_back(OsNowMs());
            if (port->vanished)
                continue;
            Answer(*port, command);
            if (!port->hangOn.empty() && command == port->hangOn)
                hang = true;
            if (!port->vanishAfter.empty() && command == port->vanishAfter) {
                port->vanished = true;
                port->pending.clear();
                port->arrived.clear();
            }
        }
        onCommand = m_onCommand;
    }
    if (onCommand) {
        for (const std::string& command : received)
            onCommand(comPort, command);
    }
    if (hang) {
        // Held outside the clock: the thread that watches this one must not wait for it.
        CausalClock::ExcuseThisThread(true);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_hung = true;
        m_hangChanged.notify_all();
        m_hangChanged.wait(lock, [this] { return m_released; });
        m_hung = false;
        lock.unlock();
        CausalClock::ExcuseThisThread(false);
    }
    return count;
}

void SimModem::ClosePort(OsPort handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Port* port = PortOf(handle);
    if (port == nullptr || !port->open)
        return;
    port->open = false;
    port->closes += 1;
    port->line.clear();
    port->pending.clear();
    port->arrived.clear();
}

SimTempDir::SimTempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/modemtest-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr)
        m_path = name.data();
}

SimTempDir::~SimTempDir() {
    if (m_path.empty())
        return;
    DIR* dir = opendir(m_path.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                unlink((m_path + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(m_path.c_str());
}

namespace {
const unsigned kRunSearchBody = 0xBEF0;

// A search window that runs a test body instead of the search.
class SearchWindowForTest : public CSearchDlg {
  public:
    SearchWindowForTest(CDialog* mainWindow, const std::function<void(CDialog*, CSearchDlg*)>& body)
        : m_mainWindow(mainWindow), m_body(body) {}
    int OnInitDialog() override {
        PostCommand(kRunSearchBody);
        return 1;
    }
    int OnCommand(WParam wParam, LParam lParam) override {
        if (CommandId(wParam) == kRunSearchBody) {
            m_body(m_mainWindow, this);
            EndDialog(UI_IDOK);
        }
        return CDialog::OnCommand(wParam, lParam);
    }
    void OnDestroy() override { CDialog::OnDestroy(); }

  private:
    CDialog* m_mainWindow;
    const std::function<void(CDialog*, CSearchDlg*)>& m_body;
};
}  // namespace

void RunInSearchWindow(const std::function<void(CDialog* mainWindow, CSearchDlg* search)>& body) {
    RunInWindow(IDD_MAIN, [&](CDialog* mainWindow) {
        SearchWindowForTest search(mainWindow, body);
        search.DoModal();
    });
}
