#include "app/banner.h"

#include "output/bounded_format.h"
#include "output/console_line.h"

namespace kolv {

void printBanner() {
    static const char* const kEdge = "+-+------------===================================------------+-+";
    plainLine("\r\n\r\n|~|\\                           /|\\                           /|~|");
    plainLine("| |  |\\                     /|  |  |\\                     /|  | |");
    plainLine("| |  |  |\\               /|  |  |  |  |\\               /|  |  | |");
    plainLine("| |  |  |  |\\         /|  |  |  |  |  |  |\\         /|  |  |  | |");
    plainLine("| |  |  |  |  |\\   /|  |  |  |  |  |  |  |  |\\   /|  |  |  |  | |");
    plainLine("| |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  | |");
    plainLine(kEdge);
    char title[128];
    boundedFormat(title, sizeof title, "|              <    K o l v - B R I D G E v%s   >              |\r\n",
                  kVersionText);
    plainLine(title);
    plainLine(kEdge);
}

void printHelp() {
    plainLine("\r\nKolv-Bridge options:\r\n");
    plainLine("-V     Enable verbose logging. Display and log all packet strings.");
    plainLine("-R[n]  Maximum connection retry attempts. Default=Infinite.");
    plainLine("-W[n]  Number of seconds before retrying. Default=5.");
}

}  // namespace kolv
