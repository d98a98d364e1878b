#!/usr/bin/python3
"""Rewrites an ONNX model stored in float16 as float32, which OpenCV's DNN module reads.

  model-to-float32.py IN.onnx OUT.onnx

FLOAT16 initializers and Constant tensors become FLOAT; a Cast between the two types is then
an identity and is removed, its consumers reading its input instead; other Casts to FLOAT16
cast to FLOAT. The stored value_info (the old types) is cleared.
"""
import sys

import numpy
import onnx
from onnx import TensorProto, numpy_helper

F16, F32 = TensorProto.FLOAT16, TensorProto.FLOAT


def widened(tensor):
    if tensor.data_type != F16:
        return None
    out = numpy_helper.from_array(numpy_helper.to_array(tensor).astype(numpy.float32), tensor.name)
    return out


def element_types(model):
    """The element type of every value the graph names, before conversion."""
    inferred = onnx.shape_inference.infer_shapes(model)
    g = inferred.graph
    types = {}
    for v in list(g.value_info) + list(g.input) + list(g.output):
        types[v.name] = v.type.tensor_type.elem_type
    for t in g.initializer:
        types[t.name] = t.data_type
    for n in g.node:
        if n.op_type == "Constant":
            for a in n.attribute:
                if a.name == "value":
                    types[n.output[0]] = a.t.data_type
    return types


def convert(model):
    g = model.graph
    types = element_types(model)

    for i, t in enumerate(g.initializer):
        w = widened(t)
        if w is not None:
            g.initializer[i].CopyFrom(w)
    for n in g.node:
        for a in n.attribute:
            if a.type == onnx.AttributeProto.TENSOR:
                w = widened(a.t)
                if w is not None:
                    a.t.CopyFrom(w)

    def as32(t):
        return F32 if t == F16 else t

    graph_outputs = {o.name for o in g.output}
    rename = {}
    kept = []
    for n in g.node:
        if n.op_type == "Cast":
            to = next(a for a in n.attribute if a.name == "to")
            source = types.get(n.input[0])
            if source is None:
                raise SystemExit(f"model-to-float32: the type of {n.input[0]} is unknown")
            if as32(source) == as32(to.i):
                if n.output[0] in graph_outputs:
                    # A graph output keeps its name: the Cast becomes an Identity.
                    n.op_type = "Identity"
                    del n.attribute[:]
                else:
                    rename[n.output[0]] = n.input[0]
                    continue
            else:
                to.i = as32(to.i)
        kept.append(n)

    def resolved(name):
        while name in rename:
            name = rename[name]
        return name

    # The nodes need not be in order, so consumers are rewired once all removals are known.
    for n in kept:
        for i, name in enumerate(n.input):
            n.input[i] = resolved(name)
    del g.node[:]
    g.node.extend(kept)
    for o in g.output:
        if o.name in rename:
            raise SystemExit(f"model-to-float32: output {o.name} lost")
    for v in list(g.input) + list(g.output):
        v.type.tensor_type.elem_type = as32(v.type.tensor_type.elem_type)
    del g.value_info[:]
    return model


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    model = convert(onnx.load(sys.argv[1]))
    onnx.checker.check_model(model)
    left = [t.name for t in model.graph.initializer if t.data_type == F16]
    if left:
        raise SystemExit(f"model-to-float32: {len(left)} float16 tensors left")
    onnx.save(model, sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
