#include "driver/catalogue.h"

#include <cstdio>

// Stream offset of each track's header in the bundle, its title and whether
// it is hidden from the list. The offsets rise strictly from row to row.
const std::array<TrackEntry, CatalogueRows> TrackCatalogue = {{
    {0x0000020, "Abbey (Cloister)", 0},     // row 0
    {0x091B382, "Abbey (Crypt)", 0},        // row 1
    {0x1234D05, "Abbey (Bells)", 0},        // row 2
    {0x1801124, "Abbey 1", 0},              // row 3
    {0x1BC591B, "Abbey 2", 0},              // row 4
    {0x1F4FF93, "Abbey 3", 1},              // row 5
    {0x1F93B2D, "Bazaar (Morning)", 0},     // row 6
    {0x2139001, "Bazaar (Spice Row)", 0},   // row 7
    {0x276D53B, "Bazaar (Night)", 0},       // row 8
    {0x2D48845, "Bazaar 1", 0},             // row 9
    {0x335EECF, "Bazaar 2", 0},             // row 10
    {0x3481E0E, "Bazaar 3", 0},             // row 11
    {0x35ADB2B, "Caverns (Echoes)", 0},     // row 12
    {0x36EE3C8, "Caverns (Deep)", 0},       // row 13
    {0x382E335, "Caverns (Lake)", 0},       // row 14
    {0x39805F2, "Caverns 1", 0},            // row 15
    {0x3A38057, "Caverns 2", 1},            // row 16
    {0x3A9BC0B, "Caverns 3", 0},            // row 17
    {0x43D320A, "Citadel (Gate)", 1},       // row 18
    {0x4BA48F2, "Citadel (Throne)", 1},     // row 19
    {0x55AFA46, "Citadel (Siege)", 0},      // row 20
    {0x581BF3B, "Citadel 1", 1},            // row 21
    {0x5BEF50B, "Citadel 2", 0},            // row 22
    {0x5D08A0D, "Citadel 3", 0},            // row 23
    {0x5ED74A7, "Docks (Fog)", 0},          // row 24
    {0x6074D8B, "Docks (Cargo)", 1},        // row 25
    {0x6AB3199, "Docks (Storm)", 0},        // row 26
    {0x7501E1E, "Docks 1", 1},              // row 27
    {0x7D776EC, "Docks 2", 0},              // row 28
    {0x7EC8783, "Docks 3", 0},              // row 29
    {0x8142F99, "Forest (Dawn)", 0},        // row 30
    {0x83B7378, "Forest (Hollow)", 1},      // row 31
    {0x8542832, "Forest (Chase)", 0},       // row 32
    {0x87C7233, "Forest 1", 0},             // row 33
    {0x8A5973D, "Forest 2", 0},             // row 34
    {0x8CCD8DA, "Forest 3", 0},             // row 35
    {0x8F34769, "Glacier (Crossing)", 1},   // row 36
    {0x984EA2A, "Glacier (Cave)", 0},       // row 37
    {0xA051332, "Glacier (Wind)", 0},       // row 38
    {0xA2D29A2, "Glacier 1", 1},            // row 39
    {0xA612FA9, "Glacier 2", 1},            // row 40
    {0xA734157, "Glacier 3", 0},            // row 41
    {0xA7933C6, "Harbour (Tavern)", 0},     // row 42
    {0xA7E1402, "Harbour (Lighthouse)", 0}, // row 43
    {0xA834194, "Harbour (Tide)", 0},       // row 44
    {0xA8BCA91, "Harbour 1", 0},            // row 45
    {0xAA52225, "Harbour 2", 0},            // row 46
    {0xABBAD10, "Harbour 3", 0},            // row 47
    {0xAE5C788, "Marsh (Mist)", 0},         // row 48
    {0xB078080, "Marsh (Witch)", 0},        // row 49
    {0xB0D4936, "Marsh (Sunken Hut)", 0},   // row 50
    {0xB154118, "Marsh 1", 0},              // row 51
    {0xB20D103, "Marsh 2", 0},              // row 52
    {0xB2B2CB7, "Marsh 3", 1},              // row 53
    {0xB475832, "Mines (Cart Ride)", 1},    // row 54
    {0xB51A3CD, "Mines (Collapse)", 1},     // row 55
    {0xB66D419, "Mines (Forge)", 1},        // row 56
    {0xB6E60B4, "Mines 1", 1},              // row 57
    {0xB897930, "Mines 2", 1},              // row 58
    {0xB9A01BD, "Mines 3", 0},              // row 59
    {0xBA423D8, "Palace (Ballroom)", 1},    // row 60
    {0xBAB81F2, "Palace (Garden)", 1},      // row 61
    {0xBB8C2E7, "Palace (Vault)", 1},       // row 62
    {0xC5404CF, "Palace 1", 1},             // row 63
    {0xCE089A6, "Palace 2", 1},             // row 64
    {0xD783C0A, "Palace 3", 0},             // row 65
    {0xDCB670A, "Ruins (Arrival)", 0},      // row 66
    {0xE0E001A, "Ruins (Altar)", 0},        // row 67
    {0xE28B60C, "Ruins (Guardian)", 0},     // row 68
    {0xE5DE8C1, "Ruins 1", 0},              // row 69
    {0xE9A7362, "Ruins 2", 0},              // row 70
    {0xEB413EC, "Ruins 3", 0},              // row 71
    {0xEC0C53A, "Tower (Stairs)", 0},       // row 72
    {0xEDD063E, "Tower (Library)", 0},      // row 73
    {0xEE9035D, "Tower (Summit)", 0},       // row 74
    {0xF0067B1, "Tower 1", 0},              // row 75
    {0xF0BF358, "Tower 2", 0},              // row 76
    {0xF236E33, "Tower 3", 0},              // row 77
    {0xF2F439E, "Village (Market)", 0},     // row 78
    {0xF470364, "Village (Farewell)", 0},   // row 79
    {0xF570001, "Village (Festival)", 0},   // row 80
    {0xF66EA74, "Village 1", 0},            // row 81
    {0xF7709E4, "Village 2", 0},            // row 82
    {0xF873B8C, "Village 3", 0},            // row 83
}};

std::int32_t visibleCount() {
    std::int32_t count = 0;
    for (const TrackEntry& row : TrackCatalogue) {
        if (row.hidden == 0) {
            ++count;
        }
    }
    return count;
}

void printTrackList() {
    std::int32_t number = 0;
    for (const TrackEntry& row : TrackCatalogue) {
        if (row.hidden != 0) {
            continue;
        }
        if (number % 3 == 0 && number != 0) {
            std::printf("\n");
        }
        std::printf("%2d. %-21s ", number, row.title);
        ++number;
    }
}

const TrackEntry& rowForNumber(std::int32_t number) {
    std::int32_t seen = 0;
    for (const TrackEntry& row : TrackCatalogue) {
        if (row.hidden != 0) {
            continue;
        }
        if (seen == number) {
            return row;
        }
        ++seen;
    }
    // Callers check the number against visibleCount() first.
    return TrackCatalogue.back();
}
