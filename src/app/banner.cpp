#include "app/banner.h"

#include "config/version.h"
#include "output/bounded_format.h"
#include "output/console_line.h"

namespace kolv {

void printBanner() {
    static const char* const kEdge = "+-+------------===================================------------+-+";
    printBareLine("\r\n\r\n|~|\\                           /|\\                           /|~|");
    printBareLine("| |  |\\                     /|  |  |\\                     /|  | |");
    printBareLine("| |  |  |\\               /|  |  |  |  |\\               /|  |  | |");
    printBareLine("| |  |  |  |\\         /|  |  |  |  |  |  |\\         /|  |  |  | |");
    printBareLine("| |  |  |  |  |\\   /|  |  |  |  |  |  |  |  |\\   /|  |  |  |  | |");
    printBareLine("| |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  | |");
    printBareLine(kEdge);
    char title[128];
    boundedFormat(title, sizeof title, "|              <    K o l v - B R I D G E v%s   >              |\r\n",
                  kVersionBuild);
    printBareLine(title);
    printBareLine(kEdge);
}

void printHelp() {
    printBareLine("\r\nKolv-Bridge options:\r\n");
    printBareLine("-V     Enable verbose logging. Display and log all packet strings.");
    printBareLine("-R[n]  Maximum connection retry attempts. Default=Infinite.");
    printBareLine("-W[n]  Number of seconds before retrying. Default=5.");
    printBareLine("--version  Print the version and exit.");
}

void printVersion() {
    char line[64];
    boundedFormat(line, sizeof line, "Kolv-Bridge %s (%s)", kVersionBuild, kVersion);
    printBareLine(line);
}

}  // namespace kolv
