# Turns the dashboard page into a header holding it as one raw string
# literal, so the binary serves it without reading any file.
#   cmake -DIN=page.html -DOUT=page_html.h -P embed.cmake
file(READ "${IN}" page)
string(FIND "${page}" ")wqpage\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the literal's end marker )wqpage\"")
endif()
file(WRITE "${OUT}.tmp"
     "// Generated from cli/serve/page.html by embed.cmake: edit the page.\n"
     "#ifndef WQSERVE_PAGE_HTML_H_\n#define WQSERVE_PAGE_HTML_H_\n"
     "namespace wqserve {\ninline constexpr char kPageHtml[] = R\"wqpage(${page})wqpage\";\n}\n"
     "#endif\n")
file(RENAME "${OUT}.tmp" "${OUT}")
