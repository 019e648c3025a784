"""The `wenlo` command: scan the buses, watch the joints live, read and write registers,
record every snapshot and plot a recording. A client of wenlo_motor_controller's public
interface only, as a user's program is."""
