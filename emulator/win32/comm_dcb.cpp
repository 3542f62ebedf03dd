// BuildCommDCB: the mode command's two forms of a line setting, parsed into a DCB.
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/win32/comm.h"

namespace win32 {

namespace {

std::optional<DWORD> Baud(std::string_view v) {
    if (v.empty() || v.size() > 9) return std::nullopt;
    DWORD rate = 0;
    for (char c : v) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        rate = rate * 10 + DWORD(c - '0');
    }
    // The two-digit abbreviations: the first two digits of the rate.
    static constexpr std::pair<DWORD, DWORD> kShort[] = {{11, 110},   {15, 150},   {30, 300},   {60, 600},  {12, 1200},
                                                         {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (auto [abbreviation, full] : kShort)
        if (rate == abbreviation) return full;
    if (rate == 0) return std::nullopt;
    return rate;
}

std::optional<BYTE> Pick(std::string_view v, std::initializer_list<std::pair<std::string_view, BYTE>> table) {
    for (auto [name, value] : table)
        if (v == name) return value;
    return std::nullopt;
}

// What a definition sets; members it does not name stay as they are.
struct Setting {
    DCB dcb;
    bool stopNamed = false;
    std::optional<bool> timeouts;  // "to=on" / "to=off"

    bool baud(std::string_view v) {
        auto r = Baud(v);
        if (r) dcb.BaudRate = *r;
        return r.has_value();
    }
    bool parity(std::string_view v) {
        auto p = Pick(v, {{"n", NOPARITY}, {"o", ODDPARITY}, {"e", EVENPARITY}, {"m", MARKPARITY}, {"s", SPACEPARITY}});
        if (p) {
            dcb.Parity = *p;
            dcb.fParity = *p != NOPARITY;
        }
        return p.has_value();
    }
    bool data(std::string_view v) {
        auto d = Pick(v, {{"5", 5}, {"6", 6}, {"7", 7}, {"8", 8}});
        if (d) dcb.ByteSize = *d;
        return d.has_value();
    }
    bool stop(std::string_view v) {
        auto s = Pick(v, {{"1", ONESTOPBIT}, {"1.5", ONE5STOPBITS}, {"2", TWOSTOPBITS}});
        if (s) dcb.StopBits = *s;
        stopNamed = true;
        return s.has_value();
    }
};

std::optional<bool> OnOff(std::string_view v) {
    if (v == "on") return true;
    if (v == "off") return false;
    return std::nullopt;
}

std::vector<std::string_view> Split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    for (size_t at = 0;;) {
        size_t end = s.find(separator, at);
        std::string_view part = s.substr(at, end == s.npos ? s.npos : end - at);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        if (separator != ' ' || !part.empty()) parts.push_back(part);
        if (end == s.npos) return parts;
        at = end + 1;
    }
}

// "baud=9600 parity=n ..."
bool NewForm(std::string_view def, Setting &s) {
    for (std::string_view item : Split(def, ' ')) {
        const size_t eq = item.find('=');
        if (eq == item.npos) return false;
        const std::string_view key = item.substr(0, eq), v = item.substr(eq + 1);
        DCB &d = s.dcb;
        bool ok = true;
        if (key == "baud") ok = s.baud(v);
        else if (key == "parity") ok = s.parity(v);
        else if (key == "data") ok = s.data(v);
        else if (key == "stop") ok = s.stop(v);
        else if (auto flag = OnOff(v); key == "to" && flag) s.timeouts = *flag;
        else if (key == "xon" && flag) d.fInX = d.fOutX = *flag;
        else if (key == "odsr" && flag) d.fOutxDsrFlow = *flag;
        else if (key == "octs" && flag) d.fOutxCtsFlow = *flag;
        else if (key == "idsr" && flag) d.fDsrSensitivity = *flag;
        else if (key == "dtr" && (flag || v == "hs")) d.fDtrControl = v == "hs" ? DTR_CONTROL_HANDSHAKE : *flag;
        else if (key == "rts" && (flag || v == "hs" || v == "tg"))
            d.fRtsControl = v == "hs" ? RTS_CONTROL_HANDSHAKE : v == "tg" ? RTS_CONTROL_TOGGLE : *flag;
        else ok = false;
        if (!ok) return false;
    }
    return true;
}

// "96,n,8,1[,x|p]"; an empty field leaves its member alone.
bool OldForm(std::string_view def, Setting &s) {
    const auto fields = Split(def, ',');
    if (fields.size() > 5 || fields[0].empty() || !s.baud(fields[0])) return false;
    if (fields.size() > 1 && !fields[1].empty() && !s.parity(fields[1])) return false;
    if (fields.size() > 2 && !fields[2].empty() && !s.data(fields[2])) return false;
    if (fields.size() > 3 && !fields[3].empty() && !s.stop(fields[3])) return false;
    if (fields.size() > 4 && !fields[4].empty()) {
        DCB &d = s.dcb;
        if (fields[4] == "x") {
            d.fInX = d.fOutX = TRUE;
        } else if (fields[4] == "p") {
            d.fOutxCtsFlow = d.fOutxDsrFlow = TRUE;
            d.fDtrControl = DTR_CONTROL_HANDSHAKE;
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    return true;
}

BOOL Build(std::string def, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (char &c : def) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char &c : def)
        if (c == '\t') c = ' ';
    std::string_view rest = def;
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    // An optional device name, "COMn" or "COMn:".
    if (rest.substr(0, 3) == "com" && rest.size() > 3 && std::isdigit(static_cast<unsigned char>(rest[3]))) {
        size_t end = 3;
        while (end < rest.size() && std::isdigit(static_cast<unsigned char>(rest[end]))) end++;
        if (end < rest.size() && rest[end] == ':') end++;
        else if (end < rest.size() && rest[end] != ' ') end = 0;  // "com1x": not a device name
        rest.remove_prefix(end);
    }
    Setting s{*dcb, false, std::nullopt};
    // Flow control is off unless the definition names it.
    s.dcb.fInX = s.dcb.fOutX = s.dcb.fOutxCtsFlow = s.dcb.fOutxDsrFlow = FALSE;
    s.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    s.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    const bool named = rest.find('=') != rest.npos, listed = rest.find(',') != rest.npos;
    const bool parsed = rest.find_first_not_of(' ') != rest.npos && !(named && listed) &&
                        (named ? NewForm(rest, s) : OldForm(rest, s));
    if (!parsed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (s.dcb.BaudRate == 110 && !s.stopNamed) s.dcb.StopBits = TWOSTOPBITS;
    *dcb = s.dcb;
    if (timeouts && s.timeouts) {
        *timeouts = COMMTIMEOUTS{};
        if (*s.timeouts) timeouts->WriteTotalTimeoutConstant = 60000;
    }
    return TRUE;
}

// Non-ASCII never parses: such a character becomes one the parser refuses.
std::string Narrow(LPCWSTR s) {
    std::string narrow;
    for (; *s; s++) narrow += *s < 0x80 ? static_cast<char>(*s) : '\x7f';
    return narrow;
}

BOOL NoDefinition() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace

BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return lpDef ? Build(lpDef, lpDCB, lpCommTimeouts) : NoDefinition();
}

BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return lpDef ? Build(Narrow(lpDef), lpDCB, lpCommTimeouts) : NoDefinition();
}

BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, nullptr); }

BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsW(lpDef, lpDCB, nullptr); }

}  // namespace win32
