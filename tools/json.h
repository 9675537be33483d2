// A small JSON writer for mfpctl's --json output: one document, stable names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace mfpctl {

class Json {
public:
    Json& begin_object(std::string_view key = {}) { open(key, '{'); return *this; }
    Json& end_object() { close('}'); return *this; }
    Json& begin_array(std::string_view key = {}) { open(key, '['); return *this; }
    Json& end_array() { close(']'); return *this; }
    Json& field(std::string_view key, std::string_view v) { sep(key); quote(v); return *this; }
    Json& field(std::string_view key, const char* v) { return field(key, std::string_view(v)); }
    Json& field(std::string_view key, bool v) { sep(key); out_ += v ? "true" : "false"; return *this; }
    Json& field(std::string_view key, int64_t v) { sep(key); out_ += std::to_string(v); return *this; }
    Json& field(std::string_view key, int v) { return field(key, static_cast<int64_t>(v)); }
    Json& field(std::string_view key, uint32_t v) { return field(key, static_cast<int64_t>(v)); }
    Json& field(std::string_view key, uint64_t v) { sep(key); out_ += std::to_string(v); return *this; }
    Json& null_field(std::string_view key) { sep(key); out_ += "null"; return *this; }
    Json& value(int64_t v) { sep({}); out_ += std::to_string(v); return *this; }
    Json& value(std::string_view v) { sep({}); quote(v); return *this; }
    const std::string& str() const { return out_; }
    void print(FILE* f = stdout) const { std::fprintf(f, "%s\n", out_.c_str()); }

private:
    void sep(std::string_view key) {
        if (!first_.empty()) {
            if (!first_.back()) out_ += ',';
            first_.back() = false;
        }
        if (!key.empty()) {
            quote(key);
            out_ += ':';
        }
    }
    void open(std::string_view key, char c) {
        sep(key);
        out_ += c;
        first_.push_back(true);
    }
    void close(char c) {
        out_ += c;
        first_.pop_back();
    }
    void quote(std::string_view s) {
        out_ += '"';
        for (unsigned char c : s) {
            switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\n': out_ += "\\n"; break;
            case '\t': out_ += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out_ += buf;
                } else {
                    out_ += static_cast<char>(c);
                }
            }
        }
        out_ += '"';
    }
    std::string out_;
    std::vector<bool> first_;
};

}  // namespace mfpctl
