#pragma once

#include <QByteArray>
#include <vector>

// The Telnet framing that RFC 2217 puts around the serial line's bytes: the
// byte 0xFF (IAC) starts a command, so a data byte 0xFF travels doubled both
// ways. Plain logic with no socket, so that every split a TCP stream can make
// is tested without one.
namespace varn::telnet {

inline constexpr unsigned char Iac = 0xFF;
inline constexpr unsigned char Dont = 0xFE;
inline constexpr unsigned char Do = 0xFD;
inline constexpr unsigned char Wont = 0xFC;
inline constexpr unsigned char Will = 0xFB;
inline constexpr unsigned char Sb = 0xFA; // subnegotiation begins
inline constexpr unsigned char Se = 0xF0; // subnegotiation ends

inline constexpr unsigned char Binary = 0;
inline constexpr unsigned char SuppressGoAhead = 3;
inline constexpr unsigned char ComPortOption = 44;

// RFC 2217 commands, client to server; the server answers with 100 added.
inline constexpr unsigned char SetBaudRate = 1;
inline constexpr unsigned char SetDataSize = 2;
inline constexpr unsigned char SetParity = 3;
inline constexpr unsigned char SetStopSize = 4;
inline constexpr unsigned char ServerOffset = 100;
inline constexpr unsigned char ParityNone = 1;
inline constexpr unsigned char StopOne = 1;

// The serial line's bytes as they go into the Telnet stream.
QByteArray Escape(const QByteArray& data);
// IAC, a verb (Will .. Dont) and an option.
QByteArray Negotiation(unsigned char verb, unsigned char option);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
QByteArray ComPortCommand(unsigned char command, const QByteArray& value);

// What the server sent besides data.
struct Command {
    unsigned char verb = 0; // Will, Wont, Do, Dont, or Sb for a subnegotiation
    unsigned char option = 0;
    QByteArray value; // Sb: the bytes after the option, IAC pairs undone
};

// Splits the server's stream into the serial line's bytes and Telnet
// commands. Keeps its place between calls: a command or an IAC pair may be cut
// anywhere by the segments the stream arrives in.
class Reader {
public:
    // Appends the data in `bytes` to `data` and the completed commands to
    // `commands`.
    void feed(const char* bytes, qsizetype count, QByteArray& data, std::vector<Command>& commands);

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    State state = State::Data;
    Command pending;
};

} // namespace varn::telnet
