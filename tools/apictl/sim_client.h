// Subcommands that talk to a running apisim over its control channel.
#pragma once

// Subcommands that talk to a running apisim over its control channel; argv[0] is the subcommand's name. Return the exit status.
int apictl_sim_main(int argc, char** argv, bool json);
int apictl_monitor_main(int argc, char** argv, bool json);
int apictl_outbox_main(int argc, char** argv, bool json);
