#pragma once

class AEffEditor;
class kelVst;

/// Creates the editor panel for a plug-in object; null where no editor is built.
AEffEditor* createEditor(kelVst& plugin);

/// Called first in the plug-in object's teardown: stops whatever the editor runs on threads of
/// its own (the X11 panel closes), so that nothing of the editor reads the plug-in object's state
/// while it is freed. Nothing for an editor that works only on the host's calls.
void stopEditor(AEffEditor* editor);
