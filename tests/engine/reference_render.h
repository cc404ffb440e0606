#pragma once

struct SynthEngine;
struct ChannelState;

/// Renders n frames of engine into outputs[0] (left) and outputs[1] (right) the plain way:
/// every voice slot visited every sample, every table read wrapped on its own, each unit of the
/// chain run over the whole stretch in turn.
void referenceRender(SynthEngine& engine, const ChannelState& channel1, float* const* outputs,
                     int n);

/// The output chain alone the same plain way (processOutputChain's reference): main holds n
/// frames of the voices' mix on entry; main and send receive the left and right outputs.
void referenceOutputChain(SynthEngine& engine, const ChannelState& channel1, float* main,
                          float* send, int n);
