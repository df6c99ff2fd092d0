#include "settings/profile.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "base/file.h"
#include "base/replace_file.h"
#include "settings/settings.h"

namespace kestrel {
namespace {

constexpr const char* kNativeEol = "\n";

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::string_view LineBreak(std::string_view line) {
    if (line.ends_with("\r\n")) return line.substr(line.size() - 2);
    if (line.ends_with('\n')) return line.substr(line.size() - 1);
    return {};
}

enum class LineKind { Blank, Comment, Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed; a view into the line
    std::string_view value;  // key value, trimmed, quotes still on
};

// What a line means: its text without the line break, up to a NUL as a C-string reader sees
// it, without a byte-order mark on the first line. A lone carriage return ends the text too:
// a value written back stops there, so what follows it must not be read as part of it.
ParsedLine ParseLine(std::string_view line, bool first) {
    line.remove_suffix(LineBreak(line).size());
    if (first && line.starts_with(kUtf8Bom)) line.remove_prefix(kUtf8Bom.size());
    line = line.substr(0, line.find_first_of(std::string_view("\0\r", 2)));
    std::string_view t = Trim(line);
    ParsedLine p;
    if (t.empty()) {
        p.kind = LineKind::Blank;
    } else if (t.front() == ';' || t.front() == '#') {
        p.kind = LineKind::Comment;
    } else if (t.front() == '[') {
        size_t close = t.find(']');
        if (close != std::string_view::npos) {
            p.kind = LineKind::Section;
            p.name = Trim(t.substr(1, close - 1));
        }
    } else if (size_t eq = t.find('='); eq != std::string_view::npos) {
        p.kind = LineKind::Key;
        p.name = Trim(t.substr(0, eq));
        p.value = Trim(t.substr(eq + 1));
    }
    return p;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

int32_t ParseInt(std::string_view v) {
    size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) negative = v[i++] == '-';
    const int64_t limit = negative ? int64_t(INT32_MAX) + 1 : int64_t(INT32_MAX);
    int64_t n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
        n = n * 10 + (v[i] - '0');
        if (n >= limit) {
            n = limit;
            break;
        }
    }
    return int32_t(negative ? -n : n);
}

// Quotes a value only where reading it back would otherwise change it.
std::string EncodeValue(std::string_view value) {
    value = value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
    bool quote = !value.empty() &&
                 (IsBlank(value.front()) || IsBlank(value.back()) || Unquote(value) != value);
    return quote ? '"' + std::string(value) + '"' : std::string(value);
}

struct SectionSpan {
    size_t header = 0;
    size_t end = 0;  // the next section header, or the end of the document
    bool found = false;
};

SectionSpan FindSection(const std::vector<std::string>& lines, std::string_view section) {
    SectionSpan span;
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine p = ParseLine(lines[i], i == 0);
        if (p.kind != LineKind::Section) continue;
        if (span.found) {
            span.end = i;
            return span;
        }
        if (SameName(p.name, section)) {
            span.found = true;
            span.header = i;
        }
    }
    span.end = lines.size();
    return span;
}

// Index of the first line holding `key` in the first `section`.
std::optional<size_t> FindKey(const std::vector<std::string>& lines, std::string_view section,
                              std::string_view key) {
    SectionSpan span = FindSection(lines, section);
    if (!span.found) return std::nullopt;
    for (size_t i = span.header + 1; i < span.end; ++i) {
        ParsedLine p = ParseLine(lines[i], false);
        if (p.kind == LineKind::Key && SameName(p.name, key)) return i;
    }
    return std::nullopt;
}

std::optional<std::string_view> FindValue(const std::vector<std::string>& lines,
                                          std::string_view section, std::string_view key) {
    std::optional<size_t> at = FindKey(lines, section, key);
    if (!at) return std::nullopt;
    return Unquote(ParseLine(lines[*at], *at == 0).value);
}

}  // namespace

ProfileDocument::ProfileDocument() : eol(kNativeEol) {}

bool ProfileDocument::Load(const std::string& path, ProfileDocument& doc) {
    doc = ProfileDocument{};
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (st.type() == std::filesystem::file_type::not_found) return true;
    if (st.type() != std::filesystem::file_type::regular) return false;
    File file;
    if (!file.open(path, File::Mode::Read)) return false;

    std::string text;
    char chunk[65536];
    while (text.size() <= kMaxProfileBytes) {
        size_t got = file.read(chunk, sizeof chunk);
        if (got == 0) break;
        text.append(chunk, got);
    }
    if (text.size() > kMaxProfileBytes) {
        // Drop the line that the cap cuts through as well: a half key is a wrong key.
        doc.partial = true;
        text.resize(kMaxProfileBytes);
        size_t lastBreak = text.rfind('\n');
        text.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }

    if (size_t lf = text.find('\n'); lf != std::string::npos)
        doc.eol = lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
    for (size_t start = 0; start < text.size();) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf + 1;
        doc.lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return true;
}

std::string ProfileDocument::GetString(std::string_view section, std::string_view key,
                                       std::string_view fallback) const {
    std::optional<std::string_view> value = FindValue(lines, section, key);
    return CutName(value ? *value : fallback);
}

int32_t ProfileDocument::GetInt(std::string_view section, std::string_view key,
                                int32_t fallback) const {
    std::optional<std::string_view> value = FindValue(lines, section, key);
    if (!value || value->empty()) return fallback;
    return ParseInt(*value);
}

void ProfileDocument::SetString(std::string_view section, std::string_view key,
                                std::string_view value) {
    const std::string encoded = EncodeValue(value);
    auto terminate = [this](size_t i) {
        if (LineBreak(lines[i]).empty()) lines[i] += eol;
    };

    if (std::optional<size_t> at = FindKey(lines, section, key)) {
        // Keep the line up to the end of the key's name as it stands, and its line break.
        std::string& line = lines[*at];
        ParsedLine p = ParseLine(line, *at == 0);
        size_t nameEnd = size_t(p.name.data() - line.data()) + p.name.size();
        std::string rebuilt = line.substr(0, nameEnd) + '=' + encoded;
        rebuilt += LineBreak(line);
        line = std::move(rebuilt);
        return;
    }

    std::string keyLine = std::string(key) + '=' + encoded + eol;
    SectionSpan span = FindSection(lines, section);
    if (span.found) {
        // After the section's last entry, so that blank lines and comments before the next
        // section stay where they are.
        size_t last = span.header;
        for (size_t i = span.header + 1; i < span.end; ++i) {
            LineKind kind = ParseLine(lines[i], false).kind;
            if (kind != LineKind::Blank && kind != LineKind::Comment) last = i;
        }
        terminate(last);
        lines.insert(lines.begin() + std::ptrdiff_t(last + 1), std::move(keyLine));
        return;
    }

    if (!lines.empty()) {
        terminate(lines.size() - 1);
        if (ParseLine(lines.back(), lines.size() == 1).kind != LineKind::Blank)
            lines.push_back(eol);
    }
    lines.push_back('[' + std::string(section) + ']' + eol);
    lines.push_back(std::move(keyLine));
}

void ProfileDocument::SetInt(std::string_view section, std::string_view key, int32_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "%d", int(value));
    SetString(section, key, text);
}

bool ProfileDocument::Save(const std::string& path) const {
    if (partial) return false;
    // A settings file kept as a link (in a dotfiles folder, say) stays one, and a private one
    // stays private.
    ReplacingFile out;
    if (!out.open(path)) return false;
    bool ok = true;
    for (const std::string& line : lines) ok = ok && out.file().write(line.data(), line.size());
    return ok && out.commit();  // out removes its temporary file when it was not committed
}

}  // namespace kestrel
