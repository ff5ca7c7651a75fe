// twStudio: the template developers' editor with a debugger that runs the server's engine inside
// the studio. It always opens without a document; command-line arguments are not used.
#include "studio/studio_app.h"

int main(int argc, char** argv)
{
    return CStudioApp::Run(argc, argv);
}
