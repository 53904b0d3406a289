// fuzz_jscript.cpp -- libFuzzer target for the -js script list and the page
// that carries it.
//
// Each input starts from no list; set_jscript_src takes the input as a text
// twice (the second call must release the copies of the first: the leak
// checker sees any it keeps), then the page is built. The page must be the
// head template, then whole script lines in list order up to the first that
// does not fit, then the closing template exactly when it fits; never more
// than PAGE_MAX characters, and its length must match its text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "webcontent.h"

extern int n_jscript;
extern char* msg_jscript_srcp[MAX_JSCRIPT];
extern char* msg_template_jscript_srcp[2];
extern char msg_html_template1[361];
extern char msg_html_template2[856];

namespace {

constexpr size_t INPUT_MAX = 4096;
constexpr size_t PAGE_MAX = 3265; // characters of the page, without its NUL

void clear_scripts() {
    for (int i = 0; i < n_jscript; i++) {
        free(msg_jscript_srcp[i]);
        msg_jscript_srcp[i] = nullptr;
    }
    n_jscript = 0;
}

void check_page(const struct container& c) {
    if (c.mimetype != MIME_HTML || !c.keep || !c.data) broken("the page is not an HTML text");
    const char* page = reinterpret_cast<const char*>(c.data);
    size_t len = (size_t)c.length;
    if (c.length < 0 || len > PAGE_MAX) broken("the page is longer than its buffer allows");
    if (std::memchr(page, '\0', len) != nullptr) broken("page text and length disagree");

    std::string want = msg_html_template1;
    int nurl = n_jscript > 0 ? n_jscript : 2;
    char* const* urls = n_jscript > 0 ? msg_jscript_srcp : msg_template_jscript_srcp;
    for (int i = 0; i < nurl; i++) {
        std::string line = std::string("<script type=\"text/javascript\" src=\"") + urls[i] +
                            "\"></script>\r\n";
        if (want.size() + line.size() > PAGE_MAX) break;
        want += line;
    }
    bool fits = want.size() + std::strlen(msg_html_template2) <= PAGE_MAX;
    if (fits) want += msg_html_template2;
    if (want.size() != len || std::memcmp(want.data(), page, len) != 0)
        broken("the page is not the templates and the script lines that fit");
    // The closing tag appears only with the closing template, unless a URL
    // itself carries it.
    bool url_has_it = false;
    for (int i = 0; i < nurl; i++) url_has_it |= std::strstr(urls[i], "</html>") != nullptr;
    if (!fits && !url_has_it && std::strstr(page, "</html>")) broken("</html> in a cut page");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t n = size < INPUT_MAX ? size : INPUT_MAX;
    char* text = static_cast<char*>(malloc(n + 1));
    if (!text) abort();
    std::memcpy(text, data, n);
    text[n] = '\0';

    clear_scripts();
    set_jscript_src(text);
    set_jscript_src(text);
    if (n_jscript < 0 || n_jscript > MAX_JSCRIPT) broken("n_jscript out of 0..10");
    for (int i = 0; i < n_jscript; i++)
        if (!msg_jscript_srcp[i] || !msg_jscript_srcp[i][0]) broken("an empty script URL is kept");

    check_page(generate_content(""));
    free(text);
    return 0;
}
