// dioptrix: the player (see app/player_cli.h).
#include <iostream>

#include "app/player_cli.h"

int main(int argc, char** argv) { return dioptrix::PlayerMain(argc, argv, std::cout, std::cerr); }
