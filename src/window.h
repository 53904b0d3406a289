// window.h -- the field's window: start-up of the window and its menu, the
// toolkit's timer, display, keyboard and menu callbacks, and the title.
#pragma once

// Values of the pop-up menu's entries.
enum menu_entry {
    MENU_SEPARATOR = 0,
    MENU_CLEAR = 1,
    MENU_ZOMBIES = 2,
    MENU_BATTLE = 3,
    MENU_PRIVATE = 4,
    MENU_CAPTURE = 5,
    MENU_ABOUT = 7,
    MENU_KILL_ALL = 8,
    MENU_EXIT = 9,
};

extern char window_title[256]; // the title without its "Private"/"Public" prefix

int field_start(int argc, char** argv); // window, menu, world reset, servers, event loop
void reshapefunc(int x, int y);
void timerfunc(int dummy);
void display();
void keyboardfunc(unsigned char key, int x, int y);
void specialfunc(int key, int x, int y);
void menufunc(int value);
int change_menuitem();
