#include "tools/updserver/Metrics.h"

#include <cstdio>

namespace
{
// A label value with the three characters the format escapes.
std::string escapeLabel(const std::string& value)
{
    std::string out;
    for (char c : value)
    {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

struct Writer
{
    std::string text;

    void family(const char* name, const char* type, const char* help)
    {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void value(const std::string& name, const std::string& v) { text += name + " " + v + "\n"; }
    void value(const std::string& name, uint64_t v) { value(name, std::to_string(v)); }
    void single(const char* name, const char* type, const char* help, uint64_t v)
    {
        family(name, type, help);
        value(name, v);
    }
};
} // namespace

const char* CMetrics::errorName(ErrorKind kind)
{
    switch (kind)
    {
    case ERR_PROTOCOL:
        return "protocol";
    case ERR_TIMEOUT:
        return "timeout";
    case ERR_NOT_FOUND:
        return "not_found";
    case ERR_READ:
        return "read";
    case ERR_LOGIN:
        return "login";
    case ERR_SESSION:
        return "session";
    case ERR_RELOAD:
        return "reload";
    case ERR_KINDS:
        break;
    }
    return "unknown";
}

std::string CMetrics::prometheusText(const Sample& s)
{
    Writer w;
    w.single("updserver_sessions_open", "gauge", "Sessions connected now.", s.sessionsOpen);
    w.single("updserver_sessions_total", "counter", "Sessions accepted since start.", s.sessionsTotal);
    w.single("updserver_files_served_total", "counter", "Files sent in full.", s.filesServed);
    w.single("updserver_bytes_served_total", "counter", "Packed bytes of the files sent in full.",
             s.bytesServed);
    w.single("updserver_cache_hits_total", "counter", "File requests served from the packed-file cache.",
             s.cacheHits);
    w.single("updserver_cache_misses_total", "counter", "File requests that had to pack the file.",
             s.cacheMisses);
    w.single("updserver_cache_bytes", "gauge", "Packed bytes held in the cache.", s.cacheBytes);
    w.single("updserver_cache_entries", "gauge", "Files held in the cache.", s.cacheEntries);
    w.family("updserver_pack_seconds_total", "counter", "Time spent reading and packing files.");
    w.value("updserver_pack_seconds_total", number(s.packSeconds));
    w.family("updserver_errors_total", "counter", "Failed requests and sessions by kind.");
    for (int k = 0; k < ERR_KINDS; ++k)
        w.value(std::string("updserver_errors_total{kind=\"") + errorName(static_cast<ErrorKind>(k)) + "\"}",
                s.errors[k]);
    w.family("updserver_release_info", "gauge",
             "The release served to new sessions (1) and older ones still in use (0).");
    for (size_t i = 0; i < s.releasesInUse.size(); ++i)
        w.value("updserver_release_info{release=\"" + escapeLabel(s.releasesInUse[i]) + "\"}",
                i == 0 ? 1 : 0);
    w.single("updserver_published_files", "gauge", "Files in the current release's list.", s.publishedFiles);
    w.single("updserver_published_bytes", "gauge", "Bytes in the current release's list.", s.publishedBytes);
    w.single("updserver_suspended", "gauge", "1 while file sessions are turned away.", s.suspended ? 1 : 0);
    w.single("updserver_draining", "gauge", "1 while the server stops and lets running sessions finish.",
             s.draining ? 1 : 0);
    return w.text;
}

std::vector<std::string> CMetrics::statusLines(const Sample& s)
{
    std::vector<std::string> lines;
    // Every line of the Prometheus text that carries a value.
    std::string text = prometheusText(s);
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}
