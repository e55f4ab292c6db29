// An in-memory serial port double: simulated modems behind chosen COM numbers.
//
// Installed as the serial table while it lives (the previous one is put back by its
// destructor). A port with nothing behind it fails to open with reason 2, as a missing device
// does; open failures with any reason can be injected per port. A port is opened exclusively: a
// second open of a port still open fails with reason 5.
//
// A simulated modem answers each command line (ended by CR) as a modem set to verbose results
// without echo would: information lines and the final result each framed by CR LF, so "ATI3"
// gives CR LF, the identity line, CR LF, CR LF, OK, CR LF. The answer is there to be read from the
// next poll of the input queue on. Every open, close and command is recorded, with the time of
// the writing thread's clock for commands and opens.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/Os.h"

class CDialog;
class CSearchDlg;

enum SimProfile {
    SIM_GENERIC,            // accepts "AT&K3" and "AT&K4" of the tested settings: Init 5
    SIM_CX93001,            // identity "CX93001 V.92 Data Fax Modem": Init 1
    SIM_SMART_LINK,         // identity "Smart Link Soft Modem": Init 0
    SIM_ZYXEL,              // identity "ZyXEL Fax Modem 33600": Init 2
    SIM_ACCEPTS_H1_I0_R2,   // accepts "AT&H1", "AT&I0", "AT&R2" (and every other tested one): 3
    SIM_ACCEPTS_Q3_ONLY,    // accepts "AT\Q3" alone of the tested settings: Init 7
    SIM_ACCEPTS_E4_E5,      // accepts "AT&E4" and "AT&E5" (and "AT&K3", "AT&K4"): Init 178
    SIM_ERROR_TO_SETTINGS,  // ERROR to every setting command: Init 4
    SIM_SILENT_UART,        // opens, never sends a byte
    SIM_NO_FINAL_RESULT,    // frames its lines with LF only: "OK" never followed by CR
    SIM_ANSWERS_IN_PIECES,  // each answer arrives in three polls: text, the final code, CR LF
    SIM_LOWER_CASE,         // a generic modem's answers in lower case; accepts "AT\Q3": Init 7
};

class SimModem : public OsSerialApi {
  public:
    SimModem();
    ~SimModem() override;

    // Set-up.
    void AddModem(unsigned comPort, SimProfile profile);
    void FailOpen(unsigned comPort, unsigned long reason);
    // The answer to `command` (without its CR) on this port, in place of the profile's.
    void SetAnswer(unsigned comPort, const std::string& command, const std::string& answer);
    // Bytes that arrive on an open port at its next poll; each piece arrives one poll later.
    void QueueInput(unsigned comPort, const std::vector<std::string>& pieces);

    // Hooks.
    // Called on the writing thread for each command line received (without its CR).
    void SetOnCommand(std::function<void(unsigned comPort, const std::string& command)> onCommand);
    // The write that delivers `command` on this port blocks until ReleaseHang.
    void HangOnCommand(unsigned comPort, const std::string& command);
    // Waits (real time, at most `timeoutMs`) until a write is hung. Returns true when one is.
    bool WaitUntilHung(unsigned timeoutMs);
    void ReleaseHang();
    // After `command` the port is gone: nothing more arrives, writes fail (the port can still be
    // closed).
    void VanishAfter(unsigned comPort, const std::string& command);

    // Records.
    std::vector<std::string> Commands(unsigned comPort);
    std::vector<uint64_t> CommandTimes(unsigned comPort);
    std::vector<std::string> Writes(unsigned comPort);  // the bytes of each write call
    std::vector<uint64_t> OpenTimes(unsigned comPort);
    int OpenCount(unsigned comPort);
    int CloseCount(unsigned comPort);
    int Polls(unsigned comPort);          // CountInput calls
    int PortsOpenNow();                   // opened and not yet closed, over all ports
    std::vector<unsigned> PortsOpened();  // every port opened, in the order of the opens

    // OsSerialApi.
    OsPort OpenPort(unsigned comPort, unsigned long* reason) override;
    void SetUpLine(OsPort port) override;
    void PurgeOutput(OsPort port) override;
    void PurgeInput(OsPort port) override;
    unsigned long CountInput(OsPort port) override;
    unsigned long ReadPort(OsPort port, char* buffer, unsigned long count) override;
    unsigned long WritePort(OsPort port, const char* data, unsigned long count) override;
    void FlushPort(OsPort port) override;
    void ClosePort(OsPort port) override;

    // The answer a profile gives to a command line.
    static std::string ProfileAnswer(SimProfile profile, const std::string& command);

  private:
    struct Port {
        unsigned comPort = 0;
        bool present = false;
        SimProfile profile = SIM_GENERIC;
        unsigned long openFailure = 0;  // non-zero: opens fail with this reason
        bool open = false;
        bool vanished = false;
        std::string vanishAfter;
        std::string hangOn;
        std::map<std::string, std::string> answers;
        std::string line;                  // command text received since the last CR
        std::vector<std::string> pending;  // pieces not yet arrived, oldest first
        std::string arrived;               // received, waiting to be read
        std::vector<std::string> commands;
        std::vector<uint64_t> commandTimes;
        std::vector<std::string> writes;
        std::vector<uint64_t> openTimes;
        int opens = 0;
        int closes = 0;
        int polls = 0;
    };

    Port& PortNumbered(unsigned comPort);  // with m_mutex held
    Port* PortOf(OsPort port);             // with m_mutex held; null for a null port
    void Answer(Port& port, const std::string& command);

    std::mutex m_mutex;
    std::condition_variable m_hangChanged;
    std::map<unsigned, std::unique_ptr<Port>> m_ports;
    std::vector<unsigned> m_opened;
    std::function<void(unsigned, const std::string&)> m_onCommand;
    bool m_hung = false;
    bool m_released = false;
    OsSerialApi* m_previous;
};

// A private folder for a test's files (Modem.txt and the like), removed with them at the end.
class SimTempDir {
  public:
    SimTempDir();
    ~SimTempDir();
    const std::string& Path() const { return m_path; }
    std::string File(const char* name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Makes the calling thread the user-interface thread and runs `body` inside a live main window
// and, above it, a live search window whose log view receives LogLine's lines. The search itself
// is not started. Returns when `body` has returned and both windows have closed.
void RunInSearchWindow(const std::function<void(CDialog* mainWindow, CSearchDlg* search)>& body);
