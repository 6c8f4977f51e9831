#include "pattern.h"

#include <vector>

namespace nuvindexing {

namespace {

std::vector<std::pair<int, char>> Tokens(std::string const& glob) {
    std::vector<std::pair<int, char>> tokens;
    for (size_t i = 0; i < glob.size(); ++i) {
        if (glob[i] == '*') {
            if (i + 1 < glob.size() && glob[i + 1] == '*') {
                while (i + 1 < glob.size() && glob[i + 1] == '*') ++i;
                tokens.push_back({2, 0});
            } else {
                tokens.push_back({1, 0});
            }
        } else {
            tokens.push_back({0, glob[i]});
        }
    }
    return tokens;
}

// Dynamic programming over (token, position): linear in the product, never
// exponential.
bool MatchTokens(std::vector<std::pair<int, char>> const& tokens, std::string const& path) {
    size_t n = path.size();
    thread_local std::vector<char> cur, next;   // reused: a browse matches every entry it reads
    cur.assign(n + 1, 0);
    next.assign(n + 1, 0);
    cur[0] = 1;
    for (auto const& t : tokens) {
        std::fill(next.begin(), next.end(), 0);
        if (t.first == 0) {
            for (size_t j = 0; j < n; ++j)
                if (cur[j] && path[j] == t.second) next[j + 1] = 1;
        } else {
            bool reach = false;
            for (size_t j = 0; j <= n; ++j) {
                if (cur[j]) reach = true;
                if (reach) next[j] = 1;
                if (j < n && t.first == 1 && path[j] == '/') reach = false;
            }
        }
        cur.swap(next);
    }
    return cur[n] != 0;
}

}  // namespace

std::string TrimPath(std::string const& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty()) p = "/";
    return p;
}

std::string ParentKey(std::string const& path) {
    if (path == "/" || path.empty()) return "";
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

PathPattern ParsePattern(std::string const& raw) {
    PathPattern p;
    std::string text = raw;
    if (!text.empty() && text[0] == '\\') text.erase(0, 1);
    size_t star = text.find('*');
    if (star == std::string::npos) {
        p.directory = true;
        p.dir = TrimPath(text);
        return p;
    }
    p.glob = text;
    p.prefix = text.substr(0, star);
    std::string const rest = text.substr(star);
    p.tokens = Tokens(text);
    if (rest.find_first_not_of('*') == std::string::npos)
        p.tail = rest.size() == 1 ? PathPattern::Tail::kOneComponent : PathPattern::Tail::kAnyText;
    return p;
}

bool PathPattern::Matches(std::string const& path) const {
    if (directory) return ParentKey(path) == dir && path != dir;
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    switch (tail) {
    case Tail::kAnyText: return true;
    case Tail::kOneComponent: return path.find('/', prefix.size()) == std::string::npos;
    case Tail::kGeneral: break;
    }
    return MatchTokens(tokens, path);
}

}  // namespace nuvindexing
