#pragma once

class AEffEditor;
class kelVst;

/// Creates the editor panel for a plug-in object; null where no editor is built.
AEffEditor* createEditor(kelVst& plugin);
