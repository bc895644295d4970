#include "output/stamp_prefix.h"

#include "output/bounded_format.h"
#include "output/print_piped.h"

namespace kolv {

void formatStampPrefix(char* buffer, std::size_t size, const LocalTime& t) {
    boundedFormat(buffer, size, "|07[|10%d/%02d/%02d %02d:%02d:%02d|07] ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
}

void stampPrefix() {
    char prefix[41];
    formatStampPrefix(prefix, sizeof prefix, localTimeNow());
    printPiped(prefix);
}

}  // namespace kolv
