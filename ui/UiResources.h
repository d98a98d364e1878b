#pragma once

// Links the window's pictures (ui/resources.qrc) into whatever program uses this library. Safe
// to call more than once.
void initVorpaneUiResources();
