// Modem simulator for the end-to-end tests: a separate process that plays one modem on each of a
// set of pseudo-terminals.
//
//   modemsim --out DIR NAME=PROFILE[:OPTION...] ...
//
// For every NAME (a device name of the port map, such as ttyS1) it opens a pseudo-terminal pair,
// puts the line into raw mode at 38400 baud (settings that a program opening the port must
// change to 9600 8N1 and give back on close) and answers AT commands on the master side with
// the chosen profile. It never keeps a slave side open itself, so the port behaves like a real
// one: whoever opens the device path is the only one using it.
//
// When all lines are ready it writes DIR/ports.txt, one "NAME SLAVE PROFILE" line per port,
// atomically. While it runs it records, per port:
//   DIR/NAME.raw     every byte received, as received;
//   DIR/NAME.events  one line per event:
//     INIT <line settings>                       the settings it put on the line
//     CMD <hex> <line settings> lock=<hex|->     a command line ended by CR, the line settings
//                                                at that moment and the UUCP lock file's content
//     RESP <hex>                                 every byte written in reply to that line
//                                                (echo included)
//     PARTIAL <hex>                              at exit, bytes of a line not ended by CR
//     FINAL <line settings>                      at exit (SIGTERM or SIGINT)
// Hex fields are lower-case pairs; an empty field is "-".
//
// Profiles: cx93001, smartlink, zyxel, generic, q3, e45, k34, plain, lowok (answers "ok" in lower
// case), silent.
// Options: split (each final result code goes out in two writes 150 ms apart: the word, then
// its CR LF).
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Profiles.

struct Profile {
    const char* m_name;
    const char* m_info[8];   // answers to ATI0..ATI7, lines separated by '\n'; null: ERROR
    const char* m_settings;  // answer to AT&V
    const char* m_classes;   // answer to AT+FCLASS=?
    const char* m_accepted;  // the setting commands it accepts, each followed by a blank
    const char* m_okWord;    // the final result code for success
    bool m_silent;           // reads everything, answers nothing
};

const char kCxSettings[] =
    "ACTIVE PROFILE:\n"
    "B1 E0 L1 M1 N1 Q0 T V1 W0 X4 Y0 &C1 &D2 &G0 &J0 &K3 &Q5 &R1 &S0 &T5 &X0 &Y0\n"
    "S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:050\n"
    "S08:002 S09:006 S10:014 S11:095 S12:050 S18:000 S25:005 S26:001\n"
    "\n"
    "STORED PROFILE 0:\n"
    "B1 E1 L1 M1 N1 Q0 T V1 W0 X4 Y0 &C1 &D2 &G0 &J0 &K3 &Q5 &R1 &S0 &T5 &X0\n"
    "S00:000 S02:043 S06:002 S07:050 S08:002 S09:006 S10:014 S11:095\n"
    "\n"
    "TELEPHONE NUMBERS:\n"
    "0=                                    1=\n"
    "2=                                    3=";

const char kPlainSettings[] =
    "ACTIVE PROFILE:\n"
    "B0 E0 L2 M1 Q0 V1 X4 &C1 &D2 &S0\n"
    "S00:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:030";

const Profile kProfiles[] = {
    {"cx93001",
     {"56000", "F3C9", "OK ROM checksum", "CX93001-EIS_V0.2002-V92",
      "a007840284C6002F\nbc60710000F\nr1005111151012000\nr3000111170000000", "B5",
      "Data pump: <CX93001> rev 2", "Hardware ID 14F1:2F00\n\nFirmware <2002-V92> release"},
     kCxSettings,
     "0,1,1.0,2,8",
     "&K0 &K3 &K4 &E4 &E5 \\Q0 \\Q1 \\Q3 &H0 &H1 &I0 &R1 &R2 ",
     "OK",
     false},
    {"smartlink",
     {"56000", "0", "OK", "Smart Link 56K V.92 Soft Modem", "SL-56 core 2.9.11", "22",
      "Driver build 2.9.11 (linux)", "Line: <ok> Country: 22"},
     kCxSettings,
     "0,1,1.0,2,8",
     "&K3 &K4 \\Q3 &H1 &I0 &R2 ",
     "OK",
     false},
    {"zyxel",
     {"28800", "3A2C", "OK", "ZyXEL Omni 56K Plus V2.10", "Omni 56K Plus\nV 2.10 | 05/12/99", "10",
      "ZyXEL\nCopyright (c) ZyXEL", "3F"},
     kCxSettings,
     "0,1,2",
     "&K3 &K4 &E4 &E5 \\Q3 &H1 &I0 &R2 ",
     "OK",
     false},
    {"generic",
     {"56000", "2F1D", "OK", "Generic V.92 Data/Fax Modem Rev 1.4", "Rev 1.4\nDSP 3.04", "00",
      "Serial: 0042-7731", "Build 1.4.7"},
     kCxSettings,
     "0,1,2,2.0",
     "&K3 &K4 &E4 &E5 \\Q3 &H1 &I0 &R2 ",
     "OK",
     false},
    {"q3",
     {"33600", "5A5A", "OK", "Harbourline 336 Fax Modem", "HL336 v3", "01", "-", "-"},
     kPlainSettings,
     "0,1,2",
     "\\Q1 \\Q2 \\Q3 \\Q4 &K3 &R2 ",
     "OK",
     false},
    {"e45",
     {"56000", "7E11", "OK", "Tollgate 56K External", "TG56X\nrev B", "01", "-", "-"},
     kPlainSettings,
     "0,1",
     "&E4 &E5 &K3 &K4 ",
     "OK",
     false},
    {"k34",
     {"56000", "1234", "ROM test passed", "Quayside PCI Data Modem", "QPCI 1.0", "01", "-", "-"},
     kPlainSettings,
     "0,1",
     "&K3 &K4 ",
     "OK",
     false},
    {"plain",
     {"2400", "0000", "OK", "Basic 2400 Modem", nullptr, nullptr, nullptr, nullptr},
     kPlainSettings,
     "0",
     "",
     "OK",
     false},
    {"lowok",
     {"56000", "ABCD", "ok", "Lowline 56K Voice Modem", "LL56", "01", "-", "-"},
     kPlainSettings,
     "0,1,2",
     "&H1 &I0 &R2 ",
     "ok",
     false},
    {"silent", {}, "", "", "", "OK", true},
};

const Profile* FindProfile(const char* name) {
    for (const Profile& profile : kProfiles) {
        if (strcmp(profile.m_name, name) == 0)
            return &profile;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// One simulated modem.

struct Modem {
    std::string m_name;
    const Profile* m_profile = nullptr;
    bool m_split = false;
    int m_master = -1;
    char m_slave[64] = {0};
    std::string m_line;   // the command line being received
    std::string m_reply;  // every byte written in reply to the line being received
    bool m_echo = true;
    bool m_verbose = true;
    bool m_quiet = false;
    std::string m_class = "0";
    long long m_hungUntilMs = 0;  // no slave side open: do not poll before then
    FILE* m_events = nullptr;
    int m_raw = -1;
};

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(long milliseconds) {
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = (milliseconds % 1000) * 1000000L;
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR && !g_stop) {
    }
}

std::string HexOf(const std::string& bytes) {
    if (bytes.empty())
        return "-";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

unsigned SpeedOf(speed_t speed) {
    switch (speed) {
        case B0:
            return 0;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 1;
    }
}

// The slave side's line settings, as the master side reports them.
std::string DescribeLine(int master) {
    struct termios line;
    if (tcgetattr(master, &line) != 0)
        return "line=unknown";
    unsigned size = 0;
    switch (line.c_cflag & CSIZE) {
        case CS5:
            size = 5;
            break;
        case CS6:
            size = 6;
            break;
        case CS7:
            size = 7;
            break;
        default:
            size = 8;
            break;
    }
    char text[512];
    snprintf(text, sizeof text,
             "ispeed=%u ospeed=%u csize=%u parenb=%d cstopb=%d crtscts=%d clocal=%d cread=%d "
             "icanon=%d echo=%d isig=%d iexten=%d icrnl=%d inlcr=%d igncr=%d istrip=%d ixon=%d "
             "ixoff=%d opost=%d vmin=%u vtime=%u",
             SpeedOf(cfgetispeed(&line)), SpeedOf(cfgetospeed(&line)), size,
             (line.c_cflag & PARENB) ? 1 : 0, (line.c_cflag & CSTOPB) ? 1 : 0,
             (line.c_cflag & CRTSCTS) ? 1 : 0, (line.c_cflag & CLOCAL) ? 1 : 0,
             (line.c_cflag & CREAD) ? 1 : 0, (line.c_lflag & ICANON) ? 1 : 0,
             (line.c_lflag & ECHO) ? 1 : 0, (line.c_lflag & ISIG) ? 1 : 0,
             (line.c_lflag & IEXTEN) ? 1 : 0, (line.c_iflag & ICRNL) ? 1 : 0,
             (line.c_iflag & INLCR) ? 1 : 0, (line.c_iflag & IGNCR) ? 1 : 0,
             (line.c_iflag & ISTRIP) ? 1 : 0, (line.c_iflag & IXON) ? 1 : 0,
             (line.c_iflag & IXOFF) ? 1 : 0, (line.c_oflag & OPOST) ? 1 : 0,
             static_cast<unsigned>(line.c_cc[VMIN]), static_cast<unsigned>(line.c_cc[VTIME]));
    return text;
}

// The content of the UUCP lock file of the port, or "-" when there is none.
std::string ReadLockFile(const std::string& name) {
    char path[128];
    snprintf(path, sizeof path, "/var/lock/LCK..%s", name.c_str());
    const int fd = open(path, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return "-";
    char content[128];
    const ssize_t count = read(fd, content, sizeof content);
    close(fd);
    if (count <= 0)
        return "00";  // present but empty
    return HexOf(std::string(content, static_cast<size_t>(count)));
}

void WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                SleepMs(1);
                continue;
            }
            return;  // nobody on the line any more
        }
        data += written;
        count -= static_cast<size_t>(written);
    }
}

void Send(Modem& modem, const std::string& bytes) {
    if (bytes.empty())
        return;
    WriteAll(modem.m_master, bytes.data(), bytes.size());
    modem.m_reply += bytes;
}

void ResetModem(Modem& modem) {
    modem.m_echo = true;
    modem.m_verbose = true;
    modem.m_quiet = false;
    modem.m_class = "0";
}

// An information text framed as the modem sends it: CR LF before every line, CR LF after the
// last one.
std::string FrameText(const char* text) {
    std::string framed = "\r\n";
    for (const char* at = text; *at != 0; ++at) {
        if (*at == '\n') {
            framed += "\r\n";
        } else {
            framed += *at;
        }
    }
    framed += "\r\n";
    return framed;
}

bool IsAccepted(const Profile& profile, const std::string& command) {
    const std::string key = command + " ";
    return strstr(profile.m_accepted, key.c_str()) != nullptr;
}

bool ClassListed(const Profile& profile, const std::string& value) {
    std::string list = std::string(",") + profile.m_classes + ",";
    return list.find("," + value + ",") != std::string::npos;
}

// Runs the commands of one line (the text after "AT"). Returns false on ERROR; `text` receives
// the information texts.
bool RunCommands(Modem& modem, const std::string& commands, std::string* text) {
    const Profile& profile = *modem.m_profile;
    size_t at = 0;
    while (at < commands.size()) {
        const char lead = commands[at];
        if (lead == ' ') {
            ++at;
            continue;
        }
        if (lead == '+') {
            size_t end = at + 1;
            while (end < commands.size() && isalpha(static_cast<unsigned char>(commands[end]))) {
                ++end;
            }
            std::string name = commands.substr(at + 1, end - at - 1);
            for (char& c : name)
                c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            std::string argument = commands.substr(end);
            at = commands.size();  // an extended command takes the rest of the line
            if (name != "FCLASS")
                return false;
            if (argument == "=?") {
                *text += FrameText(profile.m_classes);
            } else if (argument == "?") {
                *text += FrameText(modem.m_class.c_str());
            } else if (argument.size() > 1 && argument[0] == '=' &&
                       ClassListed(profile, argument.substr(1))) {
                modem.m_class = argument.substr(1);
            } else {
                return false;
            }
            continue;
        }
        std::string command;
        if (lead == '&' || lead == '\\') {
            if (at + 1 >= commands.size())
                return false;
            command += lead;
            command += static_cast<char>(toupper(static_cast<unsigned char>(commands[at + 1])));
            at += 2;
        } else if (isalpha(static_cast<unsigned char>(lead))) {
            command += static_cast<char>(toupper(static_cast<unsigned char>(lead)));
            at += 1;
        } else {
            return false;
        }
        std::string number;
        while (at < commands.size() && isdigit(static_cast<unsigned char>(commands[at]))) {
            number += commands[at++];
        }
        const int value = number.empty() ? 0 : atoi(number.c_str());
        if (command == "&F" || command == "Z") {
            ResetModem(modem);
        } else if (command == "E") {
            modem.m_echo = value != 0;
        } else if (command == "V") {
            modem.m_verbose = value != 0;
        } else if (command == "Q") {
            modem.m_quiet = value != 0;
        } else if (command == "I") {
            if (value > 7 || profile.m_info[value] == nullptr)
                return false;
            *text += FrameText(profile.m_info[value]);
        } else if (command == "&V") {
            *text += FrameText(profile.m_settings);
        } else if (command == "L" || command == "M" || command == "X") {
            // speaker and dialling options: accepted, nothing to do
        } else if (!IsAccepted(profile, command + number)) {
            return false;
        }
    }
    return true;
}

// The final result code as it goes on the line.
void SendResult(Modem& modem, bool ok) {
    if (modem.m_quiet)
        return;
    std::string word;
    std::string end;
    if (modem.m_verbose) {
        word = std::string("\r\n") + (ok ? modem.m_profile->m_okWord : "ERROR");
        end = "\r\n";
    } else {
        word = ok ? "0" : "4";
        end = "\r";
    }
    if (modem.m_split) {
        Send(modem, word);
        SleepMs(150);
        Send(modem, end);
    } else {
        Send(modem, word + end);
    }
}

void RecordEvent(Modem& modem, const char* kind, const std::string& detail) {
    if (modem.m_events == nullptr)
        return;
    fprintf(modem.m_events, "%s %s\n", kind, detail.c_str());
    fflush(modem.m_events);
}

// A command line has ended with CR: record it and answer it.
void HandleLine(Modem& modem) {
    std::string line = modem.m_line;
    modem.m_line.clear();
    RecordEvent(
        modem, "CMD",
        HexOf(line) + " " + DescribeLine(modem.m_master) + " lock=" + ReadLockFile(modem.m_name));
    // Leading blanks and line feeds before the AT prefix are ignored, as modems do.
    size_t start = line.find_first_not_of(" \n");
    if (start != std::string::npos)
        line = line.substr(start);
    const bool isCommand = line.size() >= 2 &&
                           toupper(static_cast<unsigned char>(line[0])) == 'A' &&
                           toupper(static_cast<unsigned char>(line[1])) == 'T';
    if (isCommand && !modem.m_profile->m_silent) {
        std::string text;
        const bool ok = RunCommands(modem, line.substr(2), &text);
        if (ok)
            Send(modem, text);
        SendResult(modem, ok);
    }
    RecordEvent(modem, "RESP", HexOf(modem.m_reply));
    modem.m_reply.clear();
}

void HandleInput(Modem& modem, const char* data, size_t count) {
    WriteAll(modem.m_raw, data, count);
    for (size_t i = 0; i < count; ++i) {
        const char byte = data[i];
        // The echo of a character leaves before the line it ends has been carried out, so
        // "AT&FV1E0" comes back in full even though it turns the echo off.
        if (modem.m_echo && !modem.m_profile->m_silent)
            Send(modem, std::string(1, byte));
        if (byte == '\r') {
            HandleLine(modem);
        } else if (modem.m_line.size() < 256) {
            modem.m_line += byte;
        }
    }
}

bool OpenLine(Modem& modem) {
    modem.m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (modem.m_master < 0)
        return false;
    if (grantpt(modem.m_master) != 0 || unlockpt(modem.m_master) != 0)
        return false;
    const char* slave = ptsname(modem.m_master);
    if (slave == nullptr)
        return false;
    snprintf(modem.m_slave, sizeof modem.m_slave, "%s", slave);
    // The settings a port has before the program under test opens it: raw, 38400 baud.
    struct termios line;
    if (tcgetattr(modem.m_master, &line) != 0)
        return false;
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&line, B38400);
    cfsetospeed(&line, B38400);
    return tcsetattr(modem.m_master, TCSANOW, &line) == 0;
}

bool WritePortsFile(const char* dir, const std::vector<Modem>& modems) {
    char path[512];
    char temporary[512];
    snprintf(path, sizeof path, "%s/ports.txt", dir);
    snprintf(temporary, sizeof temporary, "%s/ports.txt.tmp", dir);
    FILE* file = fopen(temporary, "w");
    if (file == nullptr)
        return false;
    for (const Modem& modem : modems) {
        fprintf(file, "%s %s %s\n", modem.m_name.c_str(), modem.m_slave, modem.m_profile->m_name);
    }
    if (fclose(file) != 0)
        return false;
    return rename(temporary, path) == 0;
}

int Usage() {
    fprintf(stderr, "usage: modemsim --out DIR NAME=PROFILE[:split] ...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* dir = nullptr;
    std::vector<Modem> modems;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            dir = argv[++i];
            continue;
        }
        const char* equals = strchr(argv[i], '=');
        if (equals == nullptr)
            return Usage();
        Modem modem;
        modem.m_name.assign(argv[i], static_cast<size_t>(equals - argv[i]));
        std::string choice = equals + 1;
        const size_t colon = choice.find(':');
        if (colon != std::string::npos) {
            modem.m_split = choice.substr(colon + 1) == "split";
            if (!modem.m_split)
                return Usage();
            choice = choice.substr(0, colon);
        }
        modem.m_profile = FindProfile(choice.c_str());
        if (modem.m_profile == nullptr || modem.m_name.empty() ||
            modem.m_name.find('/') != std::string::npos) {
            return Usage();
        }
        modems.push_back(modem);
    }
    if (dir == nullptr)
        return Usage();

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    for (Modem& modem : modems) {
        if (!OpenLine(modem)) {
            fprintf(stderr, "modemsim: cannot make a pseudo-terminal for %s: %s\n",
                    modem.m_name.c_str(), strerror(errno));
            return 1;
        }
        char path[512];
        snprintf(path, sizeof path, "%s/%s.events", dir, modem.m_name.c_str());
        modem.m_events = fopen(path, "w");
        snprintf(path, sizeof path, "%s/%s.raw", dir, modem.m_name.c_str());
        modem.m_raw = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (modem.m_events == nullptr || modem.m_raw < 0) {
            fprintf(stderr, "modemsim: cannot write records in %s\n", dir);
            return 1;
        }
        RecordEvent(modem, "INIT", DescribeLine(modem.m_master));
    }
    if (!WritePortsFile(dir, modems)) {
        fprintf(stderr, "modemsim: cannot write %s/ports.txt\n", dir);
        return 1;
    }

    std::vector<struct pollfd> polled;
    std::vector<Modem*> owners;
    while (!g_stop) {
        polled.clear();
        owners.clear();
        const long long now = NowMs();
        bool waiting = false;
        for (Modem& modem : modems) {
            if (modem.m_hungUntilMs > now) {
                waiting = true;
                continue;
            }
            struct pollfd entry = {modem.m_master, POLLIN, 0};
            polled.push_back(entry);
            owners.push_back(&modem);
        }
        const int ready = poll(polled.data(), polled.size(), waiting ? 5 : 200);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            Modem& modem = *owners[i];
            if (polled[i].revents & POLLIN) {
                char data[512];
                const ssize_t count = read(modem.m_master, data, sizeof data);
                if (count > 0) {
                    HandleInput(modem, data, static_cast<size_t>(count));
                    continue;
                }
            }
            // No slave side open (never yet, or closed again): a master reports a hang-up
            // until someone opens the device, so look again a little later.
            if (polled[i].revents & (POLLHUP | POLLERR))
                modem.m_hungUntilMs = NowMs() + 5;
        }
    }

    for (Modem& modem : modems) {
        if (!modem.m_line.empty())
            RecordEvent(modem, "PARTIAL", HexOf(modem.m_line));
        RecordEvent(modem, "FINAL", DescribeLine(modem.m_master));
        fclose(modem.m_events);
        close(modem.m_raw);
        close(modem.m_master);
    }
    return 0;
}
