"""The two tables a trim runs on: class flags by role or part, and the cost of non-text parts."""

from __future__ import annotations

from types import MappingProxyType
from typing import Mapping

from quorvex_micro import ASSISTANT, SYSTEM, THINKING, TOOL, USER

#: Signal-class flags by role or by content-part type. A part whose type is a key here takes
#: that entry; any other part, and a message whose content is a string, takes its role's
#: entry; a message's flags are the union over its parts (the kernel's precedence then
#: decides: SYSTEM/FACT keep it, USER/ASSISTANT weigh 1.0, THINKING 0.15, TOOL 0.25).
#: Roles missing from the table are unclassified (weight 0.6).
FLAGS: Mapping[str, int] = MappingProxyType({
    # OpenAI instructions. `developer` is `system` under another name: flags 0 would let a
    # standing instruction decay away like an unclassified note.
    "system": SYSTEM,
    "developer": SYSTEM,
    # What a person sent: text, images, audio, files, documents.
    "user": USER,
    # What the model said: text, refusals and its tool calls (`tool_calls`, `tool_use`).
    "assistant": ASSISTANT,
    # Tool output: OpenAI `tool` (and legacy `function`) messages, Anthropic `tool_result`
    # blocks. An Anthropic user message that carries only results is ballast; one that also
    # carries the person's text is conversational.
    "tool": TOOL,
    "function": TOOL,
    "tool_result": TOOL,
    # The model's reasoning (Anthropic blocks). Beside the assistant's own text it changes
    # nothing: the ASSISTANT bit outranks it.
    "thinking": THINKING,
    "redacted_thinking": THINKING,
})

#: Tokens charged for one non-text part, by part type: rough upper figures, since the real
#: cost depends on sizes the history does not state. An image is priced like Anthropic's
#: ~1.15-megapixel image (about 1,600 tokens; OpenAI's high-detail 1024x1024 image is 765);
#: a file or document like a page or two of a PDF. Parts of any other type without text
#: (e.g. `redacted_thinking`, server tool results) are counted as their JSON text.
PART_TOKENS: Mapping[str, int] = MappingProxyType({
    "image": 1600,
    "image_url": 1600,
    "input_image": 1600,
    "input_audio": 1600,
    "file": 3000,
    "input_file": 3000,
    "document": 3000,
})
