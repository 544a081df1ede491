// What the launcher writes into its pages: the HTML fragments, the page
// addresses and the scripts that carry them into a view. Pure text work, no
// toolkit: the window runs the scripts in its views.
#pragma once

#include <string>
#include <vector>

// A JavaScript string literal holding text unchanged. Quotes, backslashes,
// line breaks, U+2028/2029 and "</script>" are escaped; bytes that are not
// valid UTF-8 become U+FFFD so that the engine never sees broken text.
std::string jsStringLiteral(const std::string& text);

// Text shown as text inside HTML (a file name from the server, a realm name).
std::string htmlEscape(const std::string& text);

// Scripts that do what the page operations promise; each does nothing when the
// element or the style sheet is missing.
std::string scriptSetElementHtml(const std::string& id, const std::string& html);
std::string scriptAppendElementHtml(const std::string& id, const std::string& html);
std::string scriptSetProgressBar(int percent);
std::string scriptSetFirstStyleSheet(const std::string& cssText);
// Returns the element's inner HTML, or null when there is none; for tests and diagnostics.
std::string scriptGetElementHtml(const std::string& id);

std::string progressRule(int percent);
std::string playButtonHtml(bool enabled, int languagePosition);
std::string commandButtonHtml(const std::string& command, int languagePosition);
// The progress bar of a page that has no sheet of its own for it: the element
// "progress" at the width, written into "progress_bg".
std::string progressBarHtml(int percent);
std::string languageLinkHtml(int position, int id);
std::string noLanguagesHtml();
std::string realmButtonHtml(const std::string& name, bool interactive);
std::string realmListHtml(const std::vector<std::string>& names, int current);

// Page addresses: the local page under the installation folder as a file URL,
// and the web page for a language position.
std::string localPageUrl(const std::string& currentDir, int languagePosition);
std::string webPageUrl(const std::string& webUrl, int languagePosition);
// A page of the launcher's own, as a data: URL, for when the installation's
// local page is missing: every element the launcher writes status into, with
// pictures looked up under baseUrl (the local page's folder).
std::string standInPageUrl(const std::string& baseUrl);
bool isStandInPageUrl(const std::string& url);
