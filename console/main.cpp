// twConsole: the administrator's program. With "-start", "-stop" or "-compact" as its first
// argument it performs that one action without a display and ends with an exit code (messages go
// to standard error); another switch shows the usage; otherwise it opens its window.
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "console/console_app.h"
#include "console/interactive_console.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv, argv + argc);
    if (CConsoleApp::IsUnknownSwitch(arguments)) {
        const bool asked = arguments[1] == "-h" || arguments[1] == "--help" || arguments[1] == "-help";
        std::fputs(CConsoleApp::kUsage, asked ? stdout : stderr);
        return asked ? 0 : 2;
    }
    if (CConsoleApp::ParseAction(arguments) != CConsoleApp::Action::kNone) {
        QCoreApplication application(argc, argv);
        // Qt takes the user's locale for everything; numbers and times stay those of "C".
        std::setlocale(LC_NUMERIC, "C");
        std::setlocale(LC_TIME, "C");
        CConsoleApp console;
        return console.RunCommandLine(arguments);
    }
    if (!CConsoleApp::HasDisplay(arguments)) {
        std::fprintf(stderr, "twConsole needs a display for its window.\n%s", CConsoleApp::kUsage);
        return 2;
    }
    return RunInteractiveConsole(argc, argv);
}
