"""Recording hooks for the openai client: chat.completions.create and
responses.create, sync or async, whole or streamed, through the shared
client proxy. The mapping of both APIs into records is
korvane.importers.openai's."""

from __future__ import annotations

from typing import Any

from korvane import _extras
from korvane.importers.openai import (ChatChunks, ResponseEvents, chat_request, chat_response,
                                      responses_request, responses_response)
from korvane.record import Recorder
from korvane.record.proxy import Api, wrap_client


def wrap(client: Any, recorder: Recorder) -> Any:
    """A recording stand-in for an openai.OpenAI or AsyncOpenAI client."""
    _extras.require("openai", "openai", "recording OpenAI calls")
    chat = Api("chat.completions", chat_request, chat_response, ChatChunks)
    responses = Api("responses", responses_request, responses_response, ResponseEvents)
    return wrap_client(client, recorder, {"chat.completions.create": chat,
                                          "responses.create": responses})
