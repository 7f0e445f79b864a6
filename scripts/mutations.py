"""One-line faults that a developer could plausibly make, for scripts/mutate: each must make at
least one test fail. Add one when a fault slips past the suite; keep `before` unique in its file.

`tests` names the tests that should kill the fault (`test_name` or `test_name[parameters]`,
found wherever they live under tests/), so that a run takes minutes; a fault that names none is
tried against the whole suite."""

from typing import NamedTuple


class Fault(NamedTuple):
    name: str
    path: str
    before: str
    after: str
    tests: tuple[str, ...] = ()


FAULTS = [
    # The crawl layer.
    Fault("slice size M read as K", "src/vornel/cli.py",
          '{"": 0, "k": 10, "m": 20, "g": 30}', '{"": 0, "k": 10, "m": 10, "g": 30}',
          ("test_sizes_are_read_with_their_units[8M]",)),
    Fault("status 300 taken for 2xx", "src/vornel/crawl/filters.py",
          "return 200 <= status < 300", "return 200 <= status <= 300",
          ("test_records_are_summarized_or_skipped_by_kind",)),
    Fault("record short by one byte passes", "src/vornel/crawl/framing.py",
          "if buffer.position < end:  # the stream ended inside the record",
          "if buffer.position < end - 1:  # the stream ended inside the record",
          ("test_damaged_inputs_keep_every_page_that_can_be_read[skipping-raw-cut-by-one-byte]",)),
    Fault("slice end off by one", "src/vornel/crawl/records.py",
          "if offset >= end and starts_member:", "if offset > end and starts_member:",
          ("test_a_reader_starts_exactly_at_any_offset_it_reported",)),
    Fault("CRLF assumed after every chunk", "src/vornel/crawl/payload.py",
          'position = end + (2 if body.startswith(b"\\r\\n", end) else 1)', "position = end + 2",
          ("test_transfer_and_content_encodings_are_removed[chunked-bare-lf]",)),
    Fault("chunked compared with its case", "src/vornel/crawl/payload.py",
          "(coding := part.strip().lower())", "(coding := part.strip())",
          ("test_transfer_and_content_encodings_are_removed[chunked-upper-case]",)),
    Fault("body of exactly the limit refused", "src/vornel/crawl/payload.py",
          "if len(data) > BODY_LIMIT:", "if len(data) >= BODY_LIMIT:",
          ("test_a_page_larger_than_the_limit_is_an_error_line_and_the_run_goes_on[recorded-at-limit]",)),
    Fault("Content-Type compared with its case", "src/vornel/crawl/text.py",
          'return (content_type or "").split(";", 1)[0].strip().lower()',
          'return (content_type or "").split(";", 1)[0].strip()',
          ("test_records_are_summarized_or_skipped_by_kind",)),
    Fault("workers take Ctrl-C", "src/vornel/crawl/worker.py",
          "for number in (signal.SIGINT, signal.SIGTERM):", "for number in (signal.SIGTERM,):",
          ("test_a_worker_ignores_ctrl_c_and_never_holds_standard_output[waiting]",)),
    Fault("error lines counted as summarized", "src/vornel/crawl/counts.py",
          "return self.pages - self.errors.total()", "return self.pages",
          ("test_the_rate_in_the_report_counts_the_pages_summarized",)),
    Fault("<uri> kept wrapped", "src/vornel/crawl/records.py", "url = url[1:-1]", "url = url",
          ("test_each_line_locates_its_record_for_one_range_request",)),
    Fault("record id field misnamed", "src/vornel/crawl/line.py",
          '"warc_record_id": page.record_id,', '"record_id": page.record_id,',
          ("test_each_line_locates_its_record_for_one_range_request",)),
    # The native modules.
    Fault("attribute value leaked", "pyapi/calls.hpp",
          "        if (require(dict_get_ref(mapping, key, &value)) == 0) return Ref::borrow(Py_None);\n"
          "        return Ref::steal(value);",
          "        if (require(dict_get_ref(mapping, key, &value)) == 0) return Ref::borrow(Py_None);\n"
          "        return Ref::borrow(value);",
          ("test_reference_counts_come_back_after_500_cycles[selector queries]",)),
    Fault("constructor notes calls of a changed urllib.parse", "inspector/construct.cpp",
          "if (library_unchanged) state.url_library.note_own_calls();",
          "if (!library_unchanged) state.url_library.note_own_calls();",
          ("test_answers_cached_while_urllib_parse_was_changed_are_not_kept",)),
    Fault("constructor skips the guard's check", "inspector/construct.cpp",
          "state.url_library.is_urlparse(urlparse) && state.url_library.unchanged_since_import();",
          "state.url_library.is_urlparse(urlparse);",
          ("test_answers_cached_while_urllib_parse_was_changed_are_not_kept",)),
    Fault("a change seen is forgotten", "inspector/url_library_guard.cpp",
          "std::atomic_ref(change_seen_).store(true, std::memory_order_relaxed);",
          "std::atomic_ref(change_seen_).store(false, std::memory_order_relaxed);",
          ("test_answers_cached_while_urllib_parse_was_changed_are_not_kept[vornel-and-refilled]",)),
    # Code merged lately.
    Fault("header names matched with their case in a search", "src/vornel/crawl/framing.py",
          'HAS_LENGTH = re.compile(rb"\\nContent-Length:[ \\t]*\\d", re.IGNORECASE)',
          'HAS_LENGTH = re.compile(rb"\\nContent-Length:[ \\t]*\\d")',
          ("test_a_damaged_record_does_not_end_the_file[long-length-uncompressed]",)),
    Fault("a repeated WARC header field: the last one taken", "src/vornel/crawl/framing.py",
          "fields.setdefault(name, value.strip())", "fields[name] = value.strip()",
          ("test_each_line_locates_its_record_for_one_range_request[uncompressed]",)),
    Fault("a cut content keeps the line ends before the next", "src/vornel/crawl/framing.py",
          'cut = found - record.content - (len(tail) - len(tail.rstrip(b"\\r\\n")))', "cut = found - record.content",
          ("test_a_damaged_record_does_not_end_the_file[long-length-uncompressed]",)),
    Fault("an ARC URL with spaces cut at the first", "src/vornel/crawl/arc.py",
          'url, ip, date, kind = " ".join(parts[:-9]), parts[-9]', 'url, ip, date, kind = parts[0], parts[-9]',
          ("test_a_large_arc_gz_is_read_in_slices_and_past_damage",)),
    Fault("a short ARC date padded at the front", "src/vornel/crawl/arc.py",
          'digits = digits[:14].ljust(14, "0")', 'digits = digits[:14].rjust(14, "0")',
          ("test_a_large_arc_gz_is_read_in_slices_and_past_damage",)),
    Fault("a page's clock left running after it", "src/vornel/crawl/worker.py",
          "        self.state[STARTED] = 0.0\n        if self.encoder.size", "        if self.encoder.size",
          ("test_a_record_that_kills_every_worker_while_it_is_read_ends_its_input_there",)),
    Fault("a worker holds standard output", "src/vornel/crawl/worker.py",
          "    os.dup2(devnull, 1)\n", "",
          ("test_a_worker_ignores_ctrl_c_and_never_holds_standard_output[summarizing]",)),
    Fault("damage before damaged gzip data not reported", "src/vornel/crawl/framing.py",
          "                    self._damaged(what, start, buffer.position)\n", "                    pass\n",
          ("test_damage_next_to_damage_is_all_reported",)),
    Fault("a bad option value taken", "src/vornel/cli.py",
          "        raise argparse.ArgumentTypeError(str(error)) from None\n    return text\n\n\ndef _statuses",
          "        pass\n    return text\n\n\ndef _statuses",
          ("test_usage_errors_exit_with_2_and_say_what_is_wrong",)),
    Fault("a part cut short by a fault taken for done", "src/vornel/crawl/parts.py",
          "    if fault is not None:\n        folder.write(", "    if False:\n        folder.write(",
          ("test_a_part_cut_short_by_a_fault_is_read_again_on_resume",)),
    Fault("the last Parquet row group left unwritten", "src/vornel/crawl/formats/parquet.py",
          "        self._flush()\n        self.file.close()", "        self.file.close()",
          ("test_parquet_holds_every_line_of_the_json_lines_output",)),
    Fault("the last title taken", "inspector/page_walk.cpp",
          "if (page.title == nullptr) page.title = element;", "page.title = element;",
          ("test_the_walk_reads_the_page_of_a_supported_selectolax",)),
    Fault("a field found by its innermost form only", "inspector/page_walk.cpp",
          "for (const entry& open : open_) visit(open.index);",
          "if (!open_.empty()) visit(open_.back().index);",
          ("test_the_walk_reads_the_page_of_a_supported_selectolax",)),
]
