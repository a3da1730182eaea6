#pragma once
// scan_image's --services mode (a program of its own, scan_image_services,
// which scan_image runs): the image is listed as an attached disk image and
// scanned whole through the application facade, and the listing is printed
// from the path view.
// Runs it with every file-system library registered. Answers the exit status.
int RunServicesMode(int argc, char** argv);
