#pragma once

struct SynthEngine;
struct ChannelState;

/// Renders n frames of engine into outputs[0] (left) and outputs[1] (right) the plain way:
/// every voice slot visited every sample, every table read wrapped on its own, each unit of the
/// chain run over the whole stretch in turn.
void referenceRender(SynthEngine& engine, const ChannelState& channel1, float* const* outputs,
                     int n);
