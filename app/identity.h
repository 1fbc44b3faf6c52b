// Who the program is to the desktop: the id under which its desktop entry, icon and metainfo
// are installed, the window class by which taskbars match its windows to that entry, and
// its icon.
#pragma once

// Before the application object is made: gives Qt the desktop file name and the application
// name, which is the class of the windows on X11 (the desktop entry's StartupWMClass).
void SetProgramIdentity();

// After it: the icon of every window, from the icon theme, else the one built in.
void SetApplicationIcon();
