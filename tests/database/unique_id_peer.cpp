// A process of its own that asks for unique IDs, so the tests can race two processes on one
// counter: unique_id_peer TABLE REGISTRY COUNT, with the connect string in TW_PEER_CONNECT (it may
// hold a password). Prints each ID on a line; exits 1 with the failure on stderr.
#include "database/data_source.h"
#include "foundation/ssp_exception.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const char* connect = std::getenv("TW_PEER_CONNECT");
    if (argc != 4 || connect == nullptr) {
        std::fprintf(stderr, "usage: TW_PEER_CONNECT=... %s TABLE REGISTRY COUNT\n", argv[0]);
        return 2;
    }
    try {
        CDataSource dataSource(connect, 0);
        dataSource.DoCommand("Open");
        for (int i = std::atoi(argv[3]); i > 0; --i)
            std::printf("%d\n", dataSource.DoCommand("GetUid", argv[1], "id", argv[2]));
    } catch (const CSspException& error) {
        std::fprintf(stderr, "%s\n", error.GetMessage().c_str());
        return 1;
    }
    return 0;
}
