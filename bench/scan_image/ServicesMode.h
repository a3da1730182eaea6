#pragma once
// scan_image's --services mode: the image is listed as an attached disk image
// and scanned whole through the application facade, and the listing is
// printed from the path view.

// True when the arguments ask for the services mode.
bool WantsServicesMode(int argc, char** argv);
// Runs it with every file-system library registered. Answers the exit status.
int RunServicesMode(int argc, char** argv);
