// What the window remembers between starts: the source folder, where each tab saves its image
// and the floppy's format, size and label, in the user's configuration folder
// ($XDG_CONFIG_HOME/brevik/brevik.conf).
#pragma once

// Puts the remembered values into their fields; a value never stored leaves its field as it
// is.
void RestoreChoices();
// Remembers the fields' present values.
void StoreChoices();
