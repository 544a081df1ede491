#include "launcher/PageOps.h"

#include <cctype>
#include <cstdio>

namespace
{

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Length(const std::string& s, size_t i, unsigned& cp)
{
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < n; ++k)
    {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (b(i + k) & 0x3F);
    }
    static const unsigned minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

std::string format(const char* fmt, int a)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

} // namespace

std::string jsStringLiteral(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();)
    {
        unsigned cp = 0;
        size_t n = utf8Length(text, i, cp);
        if (n == 0)
        {
            out += "\\uFFFD";
            ++i;
            continue;
        }
        if (n > 1)
        {
            if (cp == 0x2028 || cp == 0x2029)
                out += cp == 0x2028 ? "\\u2028" : "\\u2029";
            else
                out.append(text, i, n);
            i += n;
            continue;
        }
        char c = text[i++];
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        // Never let "</script>" or "<!--" appear, whatever holds the script.
        case '<':
            out += "\\u003C";
            break;
        case '>':
            out += "\\u003E";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned char>(c));
                out += buf;
            }
            else
                out += c;
        }
    }
    out += '"';
    return out;
}

std::string htmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        switch (c)
        {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace
{

// document.all.item(id, 0) of the original engine: the first element by id, else by name.
std::string findElement(const std::string& id)
{
    std::string lit = jsStringLiteral(id);
    return "var e=document.getElementById(" + lit + ")||document.getElementsByName(" + lit + ")[0];";
}

} // namespace

std::string scriptSetElementHtml(const std::string& id, const std::string& html)
{
    return "(function(){" + findElement(id) + "if(e)e.innerHTML=" + jsStringLiteral(html) + ";})();";
}

// The joined text is not limited: the old engine's 512-unit work area was an
// artefact, and cutting would break the page's markup.
std::string scriptAppendElementHtml(const std::string& id, const std::string& html)
{
    return "(function(){" + findElement(id) + "if(e){var t=" + jsStringLiteral(html) +
           ";var o=e.innerHTML;e.innerHTML=o?o+t:t;}})();";
}

std::string scriptSetProgressBar(int percent)
{
    return scriptSetFirstStyleSheet(progressRule(percent));
}

std::string scriptSetFirstStyleSheet(const std::string& cssText)
{
    // The first sheet's whole text becomes the one rule. Rules of a sheet from
    // another origin cannot be touched; a <style> element's text always can.
    return "(function(){var l=document.styleSheets;if(!l||l.length<1)return;var s=l[0];var r=" +
           jsStringLiteral(cssText) +
           ";try{while(s.cssRules.length)s.deleteRule(0);s.insertRule(r,0);}"
           "catch(x){var n=s.ownerNode;if(n&&n.tagName=='STYLE')n.textContent=r;}})();";
}

std::string scriptGetElementHtml(const std::string& id)
{
    return "(function(){" + findElement(id) + "return e?e.innerHTML:null;})();";
}

// The old engine read "50 %" as a percentage; standard CSS drops a width with
// a blank before the unit, so the bar would never move. Same rule, no blank.
std::string progressRule(int percent)
{
    return format("#progress{ width: %d%%;}", percent);
}

std::string playButtonHtml(bool enabled, int languagePosition)
{
    if (!enabled)
        return format("<img id=\"play_button\" src=\"art/play_%d_disabled.png\"/>", languagePosition);
    return "<a href=\"launcher://play\">" +
           format("<img id=\"play_button\" src=\"art/play_%d_enabled.png\"/>", languagePosition) + "</a>";
}

std::string commandButtonHtml(const std::string& command, int languagePosition)
{
    return "<a href=\"launcher://" + htmlEscape(command) + "\">" +
           format("<img id=\"reconnect_button\" src=\"art/reconnect_%d_enabled.png\"/>", languagePosition) +
           "</a>";
}

std::string progressBarHtml(int percent)
{
    return format("<div id=\"progress\" style=\"width: %d%%;\"></div>", percent < 0     ? 0
                                                                        : percent > 100 ? 100
                                                                                        : percent);
}

std::string languageLinkHtml(int position, int id)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "<a href=\"launcher://language/%d\"><img src=\"art/%d.png\"></a>&nbsp;",
                  position, id);
    return buf;
}

std::string noLanguagesHtml()
{
    return "<a href='launcher://language/0'><img src='art/0.png'></a>&nbsp;";
}

std::string realmButtonHtml(const std::string& name, bool interactive)
{
    std::string html = "<input id=\"select_button\" type=\"button\" value=\"" + htmlEscape(name) + "\"";
    return html + (interactive ? ", onMouseDown=\"switch_list_control();\">" : ">");
}

std::string realmListHtml(const std::vector<std::string>& names, int current)
{
    std::string html = format("<select id=\"select_list\" size=\"%d\" onblur=\"hide_list_control();\" "
                              "onClick=\"hide_list_control();\" onChange=\"var "
                              "e=document.getElementById('select_list');window.location.href='launcher://",
                              static_cast<int>(names.size()));
    html += "changeServer/' + e.selectedIndex;\">";
    for (size_t i = 0; i < names.size(); ++i)
    {
        html += "<option";
        if (static_cast<int>(i) == current)
            html += " selected";
        html += ">" + htmlEscape(names[i]) + "</options>";
    }
    return html + "</select>";
}

std::string localPageUrl(const std::string& currentDir, int languagePosition)
{
    // A file URL: every byte outside the unreserved set is percent-encoded.
    std::string path = currentDir + "/launcher_resources/" + format("launcher%d.html", languagePosition);
    // A Windows folder (C:\Games) becomes file:///C:/Games.
    bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
    std::string url = drive ? "file:///" : "file://";
    for (size_t i = 0; i < path.size(); ++i)
    {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c == '\\')
            c = '/';
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~' || (drive && i == 1))
            url += static_cast<char>(c);
        else
        {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            url += buf;
        }
    }
    return url;
}

std::string webPageUrl(const std::string& webUrl, int languagePosition)
{
    if (languagePosition == 0)
        return webUrl;
    std::string url = webUrl;
    if (url.empty() || url.back() != '/')
        url += '/';
    return url + format("index%d.html", languagePosition);
}

namespace
{

const char* const STAND_IN_PREFIX = "data:text/html;charset=utf-8,";

} // namespace

std::string standInPageUrl(const std::string& baseUrl)
{
    const std::string html =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><base href=\"" + htmlEscape(baseUrl) +
        "\"><style>body{margin:0;background:#0e1629;color:#e8ecf8;font:14px sans-serif}"
        "#languages{position:absolute;right:24px;top:24px}#refresh_bg{position:absolute;right:24px;top:60px}"
        "#play_button_bg{position:absolute;right:24px;bottom:24px}"
        "#play_button,#reconnect_button{min-width:180px;min-height:56px;background:#239b56}"
        "#bottom{position:absolute;left:24px;right:224px;bottom:24px}"
        "#progress_bg{height:18px;border:1px solid #5b6b99;background:#1a2440;margin:8px 0}"
        "#progress{height:100%;background:#239b56}#download_rate,#time_remaining{display:inline-block;"
        "min-width:200px;color:#aab4d4}</style></head><body><div id=\"languages\"></div>"
        "<div id=\"refresh_bg\"></div><div id=\"play_button_bg\"></div><div id=\"bottom\">"
        "<div id=\"state\"></div><div id=\"progress_bg\"></div><span id=\"download_rate\"></span>"
        "<span id=\"time_remaining\"></span><span id=\"download_bytes\"></span><div id=\"release\"></div>"
        "</div></body></html>";
    std::string url = STAND_IN_PREFIX;
    for (unsigned char c : html)
    {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~')
            url += static_cast<char>(c);
        else
        {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            url += buf;
        }
    }
    return url;
}

bool isStandInPageUrl(const std::string& url)
{
    return url.compare(0, std::char_traits<char>::length(STAND_IN_PREFIX), STAND_IN_PREFIX) == 0;
}
