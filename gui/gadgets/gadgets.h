// Numbered gadgets: the release of gadgets together with their views, and the public
// operations that the application calls with a gadget number.
//
// The gadget table and its record are in gadget_table.h. Every public operation looks the
// number up and does nothing, returning 0 or the empty string, when there is no such gadget;
// otherwise it forwards to the functions object. The kinds and their creation operations are
// in button_gadget.h, string_gadget.h, text_gadget.h, panel_gadget.h and splitter_gadget.h.
// Main thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <cstdint>
#include <optional>

#include "gui/events/event_binding.h"
#include "gui/gadgets/gadget_table.h"
#include "runtime/string_stack.h"

class QImage;
class QWidget;

// Gadget type codes.
inline constexpr int32_t GadgetTypeButton = 1;
inline constexpr int32_t GadgetTypeString = 2;
inline constexpr int32_t GadgetTypeText = 3;
inline constexpr int32_t GadgetTypePanel = 28;
inline constexpr int32_t GadgetTypeSplitter = 29;

// Subtypes of EvGadgetNotify.
inline constexpr int64_t SubtypeAction = 0;       // a button pressed; a splitter laid out
inline constexpr int64_t SubtypeResize = 6;       // a panel's frame was set
inline constexpr int64_t SubtypeFocus = 256;      // a string gadget took the keyboard focus
inline constexpr int64_t SubtypeLostFocus = 512;  // ... lost it, other than by Return
inline constexpr int64_t SubtypeChange = 768;     // the user edited the text; a tab was selected

// Colour types of SetGadgetColor and GetGadgetColor.
inline constexpr int32_t ColorTypeFront = 1;  // the text
inline constexpr int32_t ColorTypeBack = 2;   // the background

// A ResizeGadget argument that keeps the current value.
inline constexpr int32_t KeepValue = -65535;

// Creates the gadget table, has CloseWindow free the gadgets of the window it closes and
// sends the drags over window backgrounds to KzDragDrop. Start-up, after InitWindows; a
// second call does nothing.
void InitGadgets();

// Releases the gadgets placed inside root at any depth, root itself excepted: a view that
// is about to be deleted later must not keep the numbers in it live meanwhile.
void ReleaseGadgetsWithin(QWidget* root);
// Releases every gadget of the window; their views go with the window. Installed as the
// window layer's free_window_gadgets hook.
void FreeWindowGadgets(int64_t window);

// Removes the gadget's view from its window, together with the gadgets placed inside it,
// and releases them all. AnyObject frees every gadget of every window.
void FreeGadget(int64_t gadget);

// Gives the gadget the keyboard focus and activates its window, unless that window's input
// is blocked. AnyObject takes the focus away from every gadget of the active window.
void ActivateGadget(int64_t gadget);

// Binds callback to the gadget's events of one subtype, or of every subtype for -1.
void BindGadgetHandler(int64_t gadget, EventCallback callback, int64_t subtype = -1);
// Removes the newest such binding; a null callback removes every binding of the gadget.
void UnbindGadgetHandler(int64_t gadget, EventCallback callback, int64_t subtype = -1);

// Ends the contents of a panel (or of an opened item list): gadgets created afterwards go
// to the view that was current before.
void EndGadgetList();

// Forwarders, one per gadget operation; see KzGadgetFunctions for what each does. Text
// arguments are runtime strings (null reads as ""); text results are StringStack results
// at p, the empty string for an unknown gadget.
void GadgetToolTip(int64_t gadget, const char16_t* text);
// A label is named by its own text (text_gadget.h), a field best by its label.
void GadgetAccessibleName(int64_t gadget, const char16_t* text);
void HideGadget(int64_t gadget, int32_t hide);
void DisableGadget(int64_t gadget, int32_t disable);
// Mode 1: on the screen, from the primary screen's top-left corner. Mode 2: within the
// window's content. Any other mode: within the parent view.
int64_t GadgetX(int64_t gadget, int32_t mode);
int64_t GadgetY(int64_t gadget, int32_t mode);
int64_t GadgetWidth(int64_t gadget);
int64_t GadgetHeight(int64_t gadget);
// KeepValue in any argument keeps that part of the frame.
void ResizeGadget(int64_t gadget, int32_t x, int32_t y, int32_t width, int32_t height);
void SetGadgetFont(int64_t gadget, const QFont& font);
std::optional<QFont> GetGadgetFont(int64_t gadget);
int64_t AddGadgetItem(int64_t gadget, int32_t position, const char16_t* text,
                      const QImage* image = nullptr, int32_t flags = 0);
void RemoveGadgetItem(int64_t gadget, int32_t item);
void ClearGadgetItems(int64_t gadget);
int64_t CountGadgetItems(int64_t gadget);
void AddGadgetColumn(int64_t gadget, int32_t position, const char16_t* title, int32_t width);
void RemoveGadgetColumn(int64_t gadget, int32_t column);
void SetGadgetState(int64_t gadget, int32_t state);
int64_t GetGadgetState(int64_t gadget);
void SetGadgetItemState(int64_t gadget, int32_t item, int32_t state);
int64_t GetGadgetItemState(int64_t gadget, int32_t item);
void SetGadgetItemImage(int64_t gadget, int32_t item, const QImage* image);
void SetGadgetText(int64_t gadget, const char16_t* text);
char16_t* GetGadgetText(int64_t gadget, StringResultPosition p);
void SetGadgetItemText(int64_t gadget, int32_t item, const char16_t* text, int32_t column = 0);
char16_t* GetGadgetItemText(int64_t gadget, int32_t item, int32_t column, StringResultPosition p);
void SetGadgetAttribute(int64_t gadget, int32_t attribute, int64_t value);
int64_t GetGadgetAttribute(int64_t gadget, int32_t attribute);
void SetGadgetItemAttribute(int64_t gadget, int32_t item, int32_t attribute, int64_t value,
                            int32_t column = 0);
int64_t GetGadgetItemAttribute(int64_t gadget, int32_t item, int32_t attribute, int32_t column = 0);
// An invalid QColor (QColor()) means "none": back to the default colour. Results are
// invalid for nothing.
void SetGadgetColor(int64_t gadget, int32_t type, const QColor& color);
QColor GetGadgetColor(int64_t gadget, int32_t type);
void SetGadgetItemColor(int64_t gadget, int32_t item, int32_t type, const QColor& color,
                        int32_t column = 0);
QColor GetGadgetItemColor(int64_t gadget, int32_t item, int32_t type, int32_t column = 0);
void SetGadgetItemData(int64_t gadget, int32_t item, int64_t value);
int64_t GetGadgetItemData(int64_t gadget, int32_t item);
void OpenGadgetList(int64_t gadget, int32_t item);
