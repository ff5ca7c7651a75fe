// The page that every page benchmark (and bench/compare-servers) serves: a while loop writing a
// table of 100 rows, and the test that a run really produced it.
#pragma once

#include <string>

inline constexpr const char* kTablePage = "<html><body><table>\r\n"
                                          "<!--{ Local.i = 1; while (Local.i <= 100) }-->"
                                          "<tr><td>--{ Local.i }--</td><td>row text</td></tr>\r\n"
                                          "<!--{ Local.i = Local.i + 1; endwhile }-->"
                                          "</table></body></html>\r\n";

// True when a run's output is the whole table of kTablePage.
inline bool IsTablePage(const std::string& output)
{
    return output.find("<tr><td>100</td><td>row text</td></tr>\r\n</table>") != std::string::npos;
}
