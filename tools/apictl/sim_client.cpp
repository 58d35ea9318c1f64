// Stand-in for the apisim control channel's client: this build has none.
#include "sim_client.h"

#include <stdio.h>

namespace {

int not_available(char** argv) {
    fprintf(stderr, "apictl: %s: not available in this build\n", argv[0]);
    return 2;
}

}  // namespace

int apictl_sim_main(int, char** argv, bool) { return not_available(argv); }
int apictl_monitor_main(int, char** argv, bool) { return not_available(argv); }
int apictl_outbox_main(int, char** argv, bool) { return not_available(argv); }
