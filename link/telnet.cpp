#include "telnet.h"

namespace varn::telnet {

QByteArray Escape(const QByteArray& data) {
    if (!data.contains(char(Iac)))
        return data;
    QByteArray escaped;
    escaped.reserve(data.size() * 2);
    for (const char c : data) {
        escaped.append(c);
        if (quint8(c) == Iac)
            escaped.append(c);
    }
    return escaped;
}

QByteArray Negotiation(unsigned char verb, unsigned char option) {
    QByteArray bytes(3, char(Iac));
    bytes[1] = char(verb);
    bytes[2] = char(option);
    return bytes;
}

QByteArray ComPortCommand(unsigned char command, const QByteArray& value) {
    QByteArray bytes;
    bytes.append(char(Iac)).append(char(Sb)).append(char(ComPortOption)).append(char(command));
    bytes.append(Escape(value));
    bytes.append(char(Iac)).append(char(Se));
    return bytes;
}

void Reader::feed(const char* bytes, qsizetype count, QByteArray& data,
                  std::vector<Command>& commands) {
    for (qsizetype i = 0; i < count; ++i) {
        const auto c = quint8(bytes[i]);
        switch (state) {
        case State::Data:
            if (c == Iac)
                state = State::Iac;
            else
                data.append(char(c));
            break;
        case State::Iac:
            if (c == Iac) {
                data.append(char(c));
                state = State::Data;
            } else if (c == Sb || (c >= Will && c <= Dont)) {
                pending = Command{c, 0, {}};
                state = State::Verb;
            } else {
                // NOP, Go Ahead, Break and the like: nothing for the line.
                state = State::Data;
            }
            break;
        case State::Verb:
            pending.option = c;
            if (pending.verb == Sb) {
                state = State::Sub;
            } else {
                commands.push_back(pending);
                state = State::Data;
            }
            break;
        case State::Sub:
            if (c == Iac)
                state = State::SubIac;
            else
                pending.value.append(char(c));
            break;
        case State::SubIac:
            if (c == Iac) {
                pending.value.append(char(c));
                state = State::Sub;
            } else {
                // IAC SE ends it; anything else after IAC ends it too, as
                // the protocol allows nothing else there.
                commands.push_back(pending);
                pending = {};
                state = State::Data;
            }
            break;
        }
    }
}

} // namespace varn::telnet
