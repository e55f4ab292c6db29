// The support form post, piece by piece: the info block, the form body, the request header and
// the answer test depend on no platform and are built here apart from the sockets; and the start
// protocol of SendLogThread.
#pragma once

#include <cstddef>

// The info-block template (83 characters) and its markers.
extern const char kInfoBlockTemplate[];
extern const char kInfoStartMarker[];
extern const char kInfoEndMarker[];
// The recipient named in the ToName field, the form handler's path and its port.
extern const char kFormRecipient[];
extern const char kFormPath[];
enum : unsigned short { kFormPort = 80 };
enum : unsigned {
    kInfoBlockSize = 4096,      // info block: at most 4095 characters
    kRequestHeaderSize = 4096,  // request header: at most 4095 characters
    kAnswerPeekSize = 4096,     // the answer bytes looked at
    kBodySlack = 128,           // bytes behind the budget that an encoded byte may run into
    kAnswerWaitMs = 10000,
    kMaxAttempts = 3,
};

// Formats the info block into `info` (zero-filled first), at most size - 1 characters.
void BuildInfoBlock(char* info, size_t size, const char* osDescription, int screenWidth,
                    int screenHeight, const char* userEmail, const char* userName,
                    const char* subject, const char* message);

// The body's budget B = 83 + 2 L + 2525 for a log text of L bytes, or 0 when a log that long
// cannot be posted (its body would not fit in memory or in a Content-Length).
size_t FormBodyBudget(size_t logLength);

// Builds the six fields of the form into `body`, a zero-filled block of budget + kBodySlack
// bytes; the budget cuts the last value that does not fit and leaves out everything after it.
// Returns the body's length.
size_t BuildFormBody(char* body, size_t budget, const char* info, const char* userName,
                     const char* userEmail, const char* subject, const char* logText);

// Formats the request header for a body of `bodyLength` bytes, at most size - 1 characters.
// Returns its length.
size_t BuildRequestHeader(char* header, size_t size, const char* host, size_t bodyLength);

// The answer test: strips trailing CR, LF and blanks from `answer` in place, then looks for
// "Thank" in any letter case.
bool AnswerSaysThanks(char* answer);

// Starts SendLogThread and publishes its id and handle in g_sendThreadId and g_sendThread.
// Returns 1 when the thread runs. SendLogThread must be started only this way: it waits for its
// handle to be published before it does anything.
int StartSendLogThread();

// Test seam: the next `count` allocations of a form body fail.
void FailBodyAllocations(int count);
