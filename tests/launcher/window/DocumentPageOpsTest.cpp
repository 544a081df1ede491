// The page operations of document-model backends (the WebBrowser control)
// against a document in memory: what they write, and what they leave alone.
#include "launcher/window/DocumentPageOps.h"
#include "launcher/PageOps.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace
{

class FakeDocument : public IPageDocument
{
public:
    std::map<std::u16string, std::u16string> elements;
    std::vector<std::u16string> sheets;
    int writes = 0;

    bool getInnerHtml(const std::u16string& id, std::u16string& html) override
    {
        auto it = elements.find(id);
        if (it == elements.end())
            return false;
        html = it->second;
        return true;
    }
    bool setInnerHtml(const std::u16string& id, const std::u16string& html) override
    {
        auto it = elements.find(id);
        if (it == elements.end())
            return false;
        ++writes;
        it->second = html;
        return true;
    }
    long styleSheetCount() override { return static_cast<long>(sheets.size()); }
    bool setStyleSheetText(long index, const std::u16string& cssText) override
    {
        sheets.at(static_cast<size_t>(index)) = cssText;
        return true;
    }
};

} // namespace

TEST(DocumentPageOps, WritesAppendsAndSkipsWhatIsMissing)
{
    FakeDocument doc;
    doc.elements[u"state"] = u"old";
    doc.elements[u"languages"] = u"<b>flags:</b>";
    doc.elements[u"empty"] = u"";

    documentSetElementHtml(&doc, "state", "Готово <i>x</i>");
    EXPECT_EQ(doc.elements[u"state"], u"Готово <i>x</i>");
    documentAppendElementHtml(&doc, "languages", languageLinkHtml(1, 7));
    EXPECT_EQ(doc.elements[u"languages"],
              u"<b>flags:</b><a href=\"launcher://language/1\"><img src=\"art/7.png\"></a>&nbsp;");
    documentAppendElementHtml(&doc, "empty", "a");
    EXPECT_EQ(doc.elements[u"empty"], u"a");

    // No element, no document, no sheet: nothing happens and nothing fails.
    int before = doc.writes;
    documentSetElementHtml(&doc, "missing", "x");
    documentAppendElementHtml(&doc, "missing", "x");
    documentSetFirstStyleSheet(&doc, progressRule(50));
    documentSetElementHtml(nullptr, "state", "x");
    documentAppendElementHtml(nullptr, "state", "x");
    documentSetFirstStyleSheet(nullptr, "x");
    EXPECT_EQ(doc.writes, before);
    EXPECT_EQ(doc.elements.count(u"missing"), 0u);

    // Only the first sheet is rewritten, as a whole.
    doc.sheets = {u"body{}", u"p{}"};
    documentSetFirstStyleSheet(&doc, progressRule(42));
    EXPECT_EQ(doc.sheets, (std::vector<std::u16string>{u"#progress{ width: 42%;}", u"p{}"}));
}

TEST(DocumentPageOps, Utf8BecomesUtf16AndBrokenBytesBecomeReplacements)
{
    EXPECT_EQ(utf8ToUtf16("a\xD0\x96\xE2\x82\xAC"), u"a\u0416\u20AC");
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x8E\xAE"), u"\U0001F3AE"); // a surrogate pair
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b\xC3"),
              u"a\uFFFDb\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");           // overlong
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD"); // a lone surrogate
}

TEST(DocumentPageOps, LocalPageOfAWindowsFolder)
{
    EXPECT_EQ(localPageUrl("C:\\Games\\Zelvan 1", 0),
              "file:///C:/Games/Zelvan%201/launcher_resources/launcher0.html");
    EXPECT_EQ(localPageUrl("Z:\\work", 2), "file:///Z:/work/launcher_resources/launcher2.html");
}
