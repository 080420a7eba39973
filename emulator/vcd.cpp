#include "bcuemu/vcd.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace bcuemu {

namespace {

constexpr int64_t kCharacterUs = 1042;

struct Change {
    int64_t us;
    char id;
    std::string value;  // "0", "1", "b10100101", "bz"
};

struct Signal {
    LineEvent::Kind kind;
    const char* name;
    int width;
    char id;
};

constexpr Signal kSignals[] = {
    {LineEvent::Kind::kRts, "rts", 1, '!'}, {LineEvent::Kind::kCts, "cts", 1, '"'},
    {LineEvent::Kind::kDtr, "dtr", 1, '#'}, {LineEvent::Kind::kToBcu, "tx", 8, '$'},
    {LineEvent::Kind::kFromBcu, "rx", 8, '%'},
};

std::string Bits(uint8_t b) {
    std::string s = "b";
    for (int i = 7; i >= 0; --i) s += ((b >> i) & 1) ? '1' : '0';
    return s;
}

}  // namespace

std::string VcdText(const std::vector<LineEvent>& events) {
    std::vector<Change> changes;
    for (const Signal& signal : kSignals) {
        std::vector<Change> own;
        int64_t last = -1;
        for (const LineEvent& e : events) {
            if (e.kind != signal.kind) continue;
            const int64_t t = std::max(e.us, last + 1);
            last = t;
            own.push_back({t, signal.id, signal.width == 1 ? std::string(e.value ? "1" : "0") : Bits(e.value)});
        }
        if (signal.width == 8) {
            // Each byte returns to z after a character time unless the next one comes first.
            std::vector<Change> withIdle;
            for (size_t i = 0; i < own.size(); ++i) {
                withIdle.push_back(own[i]);
                const int64_t end = own[i].us + kCharacterUs;
                if (i + 1 == own.size() || own[i + 1].us > end) withIdle.push_back({end, signal.id, "bz"});
            }
            own = std::move(withIdle);
        }
        changes.insert(changes.end(), own.begin(), own.end());
    }
    std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.us < b.us; });

    std::string out;
    out += "$version bcuemu line recorder $end\n";
    out += "$timescale 1 us $end\n";
    out += "$scope module line $end\n";
    for (const Signal& signal : kSignals) {
        out += "$var wire " + std::to_string(signal.width) + " " + signal.id + " " + signal.name + " $end\n";
    }
    out += "$upscope $end\n$enddefinitions $end\n";
    out += "#0\n$dumpvars\n0!\n0\"\n0#\nbz $\nbz %\n$end\n";
    int64_t current = 0;
    for (const Change& c : changes) {
        if (c.us != current) {
            out += "#" + std::to_string(c.us) + "\n";
            current = c.us;
        }
        out += c.value;
        if (c.value[0] == 'b') out += ' ';
        out += c.id;
        out += '\n';
    }
    return out;
}

bool WriteVcd(const std::string& path, const std::vector<LineEvent>& events) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const std::string text = VcdText(events);
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace bcuemu
