#include "scenario.h"

#include <cmath>
#include <cstdlib>

#include <toml.h>

namespace bcusim {

namespace {

[[noreturn]] void Fail(const std::string& path, const toml::node* node, const std::string& what) {
    const unsigned line = node ? node->source().begin.line : 0;
    throw ScenarioError(path + ":" + std::to_string(line) + ": " + what);
}

std::optional<bcuemu::ValueSize> SizeOf(const std::string& text) {
    if (text == "bit" || text == "1bit") return bcuemu::ValueSize::kBit;
    if (text == "byte" || text == "1byte") return bcuemu::ValueSize::kByte;
    if (text == "word" || text == "2byte" || text == "float") return bcuemu::ValueSize::kWord;
    return std::nullopt;
}

uint16_t MaxValue(bcuemu::ValueSize size) {
    switch (size) {
    case bcuemu::ValueSize::kBit: return 1;
    case bcuemu::ValueSize::kByte: return 0xFF;
    case bcuemu::ValueSize::kWord: return 0xFFFF;
    }
    return 0;
}

// One value from a scenario node: an integer in range, or a float for words.
uint16_t ValueOf(const std::string& path, const toml::node& node, bcuemu::ValueSize size) {
    if (auto i = node.value_exact<int64_t>()) {
        if (*i < 0 || *i > MaxValue(size)) Fail(path, &node, "value " + std::to_string(*i) + " does not fit the size");
        return static_cast<uint16_t>(*i);
    }
    if (auto f = node.value_exact<double>()) {
        if (size != bcuemu::ValueSize::kWord) Fail(path, &node, "a number with a point needs size = \"word\"");
        if (!Float16Fits(*f)) Fail(path, &node, "value does not fit a two-byte float (-671088.64 to 670760.96)");
        return EncodeFloat16(*f);
    }
    Fail(path, &node, "expected a number");
}

uint16_t GroupOf(const std::string& path, const toml::table& t, const char* key) {
    const toml::node* node = t.get(key);
    if (!node) Fail(path, &t, std::string("missing ") + key);
    auto text = node->value<std::string>();
    if (!text) Fail(path, node, std::string(key) + " must be a text such as \"1/2/3\"");
    auto group = bcuemu::ParseGroup(*text);
    if (!group) Fail(path, node, "not a group address: " + *text);
    return *group;
}

uint16_t IndividualOf(const std::string& path, const toml::table& t, const char* key, uint16_t fallback) {
    const toml::node* node = t.get(key);
    if (!node) return fallback;
    auto text = node->value<std::string>();
    auto address = text ? bcuemu::ParseIndividual(*text) : std::nullopt;
    if (!address) Fail(path, node, std::string(key) + " must be an individual address such as \"1.1.10\"");
    return *address;
}

double SecondsOf(const std::string& path, const toml::table& t, const char* key, double fallback) {
    const toml::node* node = t.get(key);
    if (!node) return fallback;
    auto v = node->value<double>();
    if (!v || *v < 0) Fail(path, node, std::string(key) + " must be a number of seconds, not negative");
    return *v;
}

void CheckKeys(const std::string& path, const toml::table& t, std::initializer_list<const char*> known) {
    for (const auto& [key, node] : t) {
        bool ok = false;
        for (const char* k : known) ok = ok || key.str() == k;
        if (!ok) Fail(path, &node, "unknown key \"" + std::string(key.str()) + "\"");
    }
}

template <typename Each>
void ForEachTable(const std::string& path, const toml::table& root, const char* name, Each each) {
    const toml::node* node = root.get(name);
    if (!node) return;
    const toml::array* items = node->as_array();
    if (!items) Fail(path, node, std::string("use [[") + name + "]] for each entry");
    for (const toml::node& item : *items) {
        const toml::table* t = item.as_table();
        if (!t) Fail(path, &item, std::string("each ") + name + " must be a table");
        each(*t);
    }
}

ScheduledDevice DeviceOf(const std::string& path, const toml::table& t) {
    CheckKeys(path, t, {"name", "group", "size", "value", "address", "answers_reads", "every", "start", "values",
                        "step", "from", "to"});
    ScheduledDevice d;
    d.name = t["name"].value_or(std::string{});
    d.group = GroupOf(path, t, "group");
    if (const toml::node* s = t.get("size")) {
        auto text = s->value<std::string>();
        auto size = text ? SizeOf(*text) : std::nullopt;
        if (!size) Fail(path, s, "size must be \"bit\", \"byte\" or \"word\"");
        d.size = *size;
    }
    if (const toml::node* v = t.get("value")) d.value = ValueOf(path, *v, d.size);
    d.address = IndividualOf(path, t, "address", d.address);
    if (const toml::node* a = t.get("answers_reads")) {
        auto b = a->value<bool>();
        if (!b) Fail(path, a, "answers_reads must be true or false");
        d.answersReads = *b;
    }
    d.every = SecondsOf(path, t, "every", 0);
    d.start = SecondsOf(path, t, "start", d.every);
    if (const toml::node* vs = t.get("values")) {
        const toml::array* list = vs->as_array();
        if (!list || list->empty()) Fail(path, vs, "values must be a list of numbers");
        for (const toml::node& v : *list) d.values.push_back(ValueOf(path, v, d.size));
    }
    if (const toml::node* s = t.get("step")) {
        auto step = s->value_exact<int64_t>();
        if (!step || *step == 0) Fail(path, s, "step must be a whole number other than 0");
        d.step = static_cast<int>(*step);
        d.from = static_cast<int>(t["from"].value_or(int64_t{0}));
        d.to = static_cast<int>(t["to"].value_or(int64_t{MaxValue(d.size)}));
        if (d.from < 0 || d.to > MaxValue(d.size) || d.from >= d.to) Fail(path, s, "from/to must lie within the size, from below to");
    }
    if (d.every > 0 && d.values.empty() && !d.step) d.step = 0;  // resend the same value
    if (d.every == 0 && (!d.values.empty() || d.step)) Fail(path, &t, "values or step without every = seconds");
    return d;
}

}  // namespace

Scenario LoadScenario(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        throw ScenarioError(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
    }
    CheckKeys(path, root, {"bus", "line", "device", "script"});
    Scenario s;
    if (const toml::node* bus = root.get("bus")) {
        const toml::table* t = bus->as_table();
        if (!t) Fail(path, bus, "[bus] must be a table");
        CheckKeys(path, *t, {"realistic"});
        s.realistic = (*t)["realistic"].value_or(false);
    }
    ForEachTable(path, root, "line", [&](const toml::table& t) {
        CheckKeys(path, t, {"endpoint", "address"});
        BcuLine line;
        line.endpoint = t["endpoint"].value_or(std::string{});
        line.address = IndividualOf(path, t, "address", static_cast<uint16_t>(0x11FA + s.lines.size()));
        s.lines.push_back(line);
    });
    ForEachTable(path, root, "device", [&](const toml::table& t) { s.devices.push_back(DeviceOf(path, t)); });
    ForEachTable(path, root, "script", [&](const toml::table& t) {
        CheckKeys(path, t, {"at", "command"});
        ScriptStep step;
        step.at = SecondsOf(path, t, "at", 0);
        auto command = t["command"].value<std::string>();
        if (!command) Fail(path, &t, "script step needs command = \"...\"");
        step.command = *command;
        step.line = static_cast<int>(t.get("command")->source().begin.line);
        s.script.push_back(step);
    });
    return s;
}

std::optional<uint16_t> ParseValue(const std::string& text, bcuemu::ValueSize size) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    if (text.find('.') != std::string::npos) {
        if (size != bcuemu::ValueSize::kWord) return std::nullopt;
        const double v = std::strtod(text.c_str(), &end);
        if (*end != '\0' || !Float16Fits(v)) return std::nullopt;
        return EncodeFloat16(v);
    }
    const long v = std::strtol(text.c_str(), &end, 0);
    if (*end != '\0' || v < 0 || v > MaxValue(size)) return std::nullopt;
    return static_cast<uint16_t>(v);
}

bool Float16Fits(double value) {
    // The largest mantissa 2047 (or -2048) at the largest exponent 15, in units of 0.01.
    return std::isfinite(value) && value >= -2048.0 * 32768 / 100 && value <= 2047.0 * 32768 / 100;
}

uint16_t EncodeFloat16(double value) {
    // 2-byte float: sign, 4-bit exponent, 11-bit two's complement mantissa, unit 0.01.
    long mantissa = std::lround(value * 100.0);
    int exponent = 0;
    while ((mantissa < -2048 || mantissa > 2047) && exponent < 15) {
        mantissa = (mantissa + (mantissa < 0 ? -1 : 1)) / 2;
        ++exponent;
    }
    const uint16_t m = static_cast<uint16_t>(mantissa & 0x7FF);
    const uint16_t sign = mantissa < 0 ? 0x8000 : 0;
    return static_cast<uint16_t>(sign | (exponent << 11) | m);
}

double DecodeFloat16(uint16_t raw) {
    int mantissa = raw & 0x7FF;
    if (raw & 0x8000) mantissa -= 2048;
    const int exponent = (raw >> 11) & 0x0F;
    return mantissa * 0.01 * (1 << exponent);
}

}  // namespace bcusim
