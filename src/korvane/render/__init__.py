"""Views of diff and suite reports: the terminal summary (terminal), the
HTML pages (html), JUnit XML (junit), Markdown (markdown) and the JSON
outputs (json_report), sharing one set of names and number formats
(formats) and one way of making trace text safe to print (text)."""
