// apictl's commands that talk to apisim's control channel rather than to the
// control daemon's queues: fault rules, the monitor and the delivery outbox.
// Each takes its own words (argv[0] is the command's name) and returns
// apictl's exit status.
#pragma once

int apictl_sim_main(int argc, char** argv, bool json);     // argv[0] == "sim"
int apictl_monitor_main(int argc, char** argv, bool json); // argv[0] == "monitor"
int apictl_outbox_main(int argc, char** argv, bool json);  // argv[0] == "outbox"
