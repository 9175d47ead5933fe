#include "http/RFC2822.h"

std::string LowercaseASCII(std::string text)
{
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string HeaderToken(const std::optional<std::string>& value)
{
    if (!value)
        return {};
    size_t start = value->find_first_not_of(" \t");
    size_t end = value->find_last_not_of(" \t");
    return start == std::string::npos ? std::string() : LowercaseASCII(value->substr(start, end - start + 1));
}

RFC2822::RFC2822(LineReader& reader) : reader(&reader) { readHeaders(); }

RFC2822& RFC2822::readHeaders()
{
    dict.clear();
    conflicts.clear();
    endSeen = false;
    for (;;) {
        auto line = reader->readLine();
        if (!line) {
            status = "EOF in headers";
            break;
        }
        if (isLast(*line)) {
            endSeen = true;
            break;
        }
        if (headerSeen && !line->empty() && ((*line)[0] == ' ' || (*line)[0] == '\t')) {
            if (list)
                list->push_back(*line);
            // Appended in place: a long run of continuation lines costs no copy of
            // the growing value at every line.
            auto& value = dict[*headerSeen];
            value.append(1, '\n').append(*line);
            continue;
        }
        if (isComment(*line))
            continue;
        headerSeen = isHeader(*line);
        if (!headerSeen) {
            // Reading goes on: one stray line does not cost the headers after it.
            status = dict.empty() ? "No headers" : "Non-header line where header expected";
            continue;
        }
        if (list)
            list->push_back(*line);
        std::string value = line->substr(line->find(':') + 1);
        // try_emplace leaves `value` as it is when the name was there already.
        auto [it, added] = dict.try_emplace(*headerSeen, std::move(value));
        if (!added) {
            if (HeaderToken(it->second) != HeaderToken(value))
                conflicts.insert(*headerSeen);
            it->second = std::move(value);
        }
    }
    return *this;
}

std::optional<std::string> RFC2822::isHeader(const std::string& line) const
{
    auto colon = line.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return LowercaseASCII(line.substr(0, colon));
}

bool RFC2822::isComment(const std::string&) const { return false; }

bool RFC2822::isLast(const std::string& line) const { return line.empty(); }

std::optional<std::string> RFC2822::getHeader(std::string_view name) const
{
    // Folded on the stack: every request asks for a dozen headers by name.
    char small[64];
    std::string large;
    std::string_view key;
    if (name.size() <= sizeof small) {
        for (size_t i = 0; i < name.size(); ++i)
            small[i] = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
        key = std::string_view(small, name.size());
    } else {
        large = LowercaseASCII(std::string(name));
        key = large;
    }
    auto it = dict.find(key);
    if (it == dict.end())
        return std::nullopt;
    return it->second;
}

std::string RFC2822::description() const
{
    std::string text = "{";
    for (const auto& [key, value] : dict)
        text += key + " =" + value + "; ";
    text += "}";
    return text;
}
