# The module's public surface: every function and class, in definition order,
# with its exact signature, annotations and docstring. Each body is one call
# into the C++ implementation (`_native`, the module's private table of native
# entry points), which takes the arguments as bound here.
#
# This file is compiled into the extension at build time and run in the
# module's namespace by its initialisation, after the standard modules, NumPy
# (as `np`), the `typing` names and the constants have been bound. It is
# compiled with postponed evaluation of annotations (the effect of
# `from __future__ import annotations`): every annotation stays the text
# written here. No loop, no decision and no data handling belongs in this file.


def is_encrypted_file(path: str) -> bool:
    """Check if file is encrypted based on extension.

    True exactly when the path ends with ".vrtensor" (case-sensitive); no file is touched.
    """
    return _native.is_encrypted_file(path)


def xor_decrypt_bytes(data: bytes, key: bytes = ENCRYPT_KEY) -> bytes:
    """XOR-decrypt data in-place style, returning a new bytes object.

    Byte i of data is XORed with key byte (i mod len(key)); data is not modified.
    """
    return _native.xor_decrypt_bytes(data, key)


def _write_xor_encrypted(f, file_offset: int, data: bytes, key: bytes) -> None:
    """XOR-encrypt data at the correct key position and write to file.

    The key cycles correctly from the given file offset.
    """
    return _native.write_xor_encrypted(f, file_offset, data, key)


def read_and_decrypt_file(path: str, key: bytes = ENCRYPT_KEY) -> bytes:
    """Read file and XOR-decrypt its contents."""
    return _native.read_and_decrypt_file(path, key)


class VideoReader:
    """PyAV-based video reader replacing FFmpeg C wrapper.

    All frames are decoded into memory at construction for random access.
    An encrypted .vrtensor file is decrypted fully into memory and handed to
    PyAV through an in-memory byte stream.
    """

    def __init__(self, video_path: str, key: str = "", thread_count: int = 0) -> None:
        return _native.video_reader_init(self, video_path, key, thread_count)

    def get(self, index: int) -> np.ndarray:
        """Get a decoded frame by index (returns a copy).

        A negative index counts from the end.
        """
        return _native.video_reader_get(self, index)

    def size(self) -> int:
        """Return total number of decoded frames."""
        return _native.video_reader_size(self)

    @property
    def width(self) -> int:
        return _native.video_reader_width(self)

    @property
    def height(self) -> int:
        return _native.video_reader_height(self)

    def close(self) -> None:
        return _native.video_reader_close(self)

    def __getstate__(self) -> dict:
        """The reader as pickle sends it: its path, its key and whether it is closed.

        No decoded frame travels: the reader decodes its source again where it is
        unpickled.
        """
        return _native.video_reader_getstate(self)

    def __setstate__(self, state: dict) -> None:
        """Decodes the source a state describes."""
        return _native.video_reader_setstate(self, state)


def _streaming_xor_decrypt_file(src_path: str, dst_path: str, key: bytes,
                                chunk_size: int = 262144) -> None:
    """XOR-decrypt a file to another file in streaming chunks.

    Peak memory is one chunk, whatever the file size.
    """
    return _native.streaming_xor_decrypt_file(src_path, dst_path, key, chunk_size)


def compute_mask_bbox(h5_data, frame_w: int, frame_h: int,
                      padding: int = 16) -> Tuple[int, int, int, int]:
    """Compute the union bounding box of non-zero face mask pixels.

    Reads the JPEG-encoded masks of the "face_masks" dataset of the HDF5 data (a path
    or a file object) one at a time and returns (x1, y1, x2, y2) with x2 and y2
    exclusive, widened by padding on every side and clamped to [0, frame_w] x
    [0, frame_h]. Raises RuntimeError when no mask has a non-zero pixel.
    """
    return _native.compute_mask_bbox(h5_data, frame_w, frame_h, padding)


def iter_video_frames(video_path: str, key: str = "", thread_count: int = 0,
                      max_frames: int = -1) -> Iterator[np.ndarray]:
    """Yield decoded BGR24 frames one at a time from a video file.

    Handles plain and .vrtensor files like VideoReader, but holds only the
    frame being handed out. At most max_frames frames are yielded (a
    negative value means all). The demuxer is opened when the first frame
    is asked for and closed however the iteration ends.
    """
    yield from _native.frame_iterator(video_path, key, thread_count, max_frames)


def is_imx_file(path: str) -> bool:
    """Check if a file is an IMX binary container.

    Looks at the first four bytes only; a file that cannot be opened or read answers False.
    """
    return _native.is_imx_file(path)


def is_imx_v2_file(path: str) -> bool:
    """Check if a file is an IMX v2 container.

    Looks at the first four bytes only; a file that cannot be opened or read answers False.
    """
    return _native.is_imx_file(path)


def write_imx_v2_container(output_path: str, files: dict) -> None:
    """Write files into an IMX v2 binary container.

    Same structure as write_imx_container but with IMX v2 magic and version.
    """
    return _native.write_imx_v2_container(output_path, files)


class ImxContainer:
    """Virtual filesystem over an IMX binary container.

    The file table is read on init (under a millisecond for typical containers);
    embedded files are read by seek and read, without extraction.

    A manifest.json file, if present, is loaded eagerly and exposed through the
    metadata property.
    """

    def __init__(self, path: str) -> None:
        return _native.imx_init(self, path)

    def read_file(self, name: str) -> bytes:
        """Read an embedded file by name."""
        return _native.imx_read_file(self, name)

    def get_entry(self, name: str) -> Tuple[int, int]:
        """Return (offset, size) for an embedded file."""
        return _native.imx_get_entry(self, name)

    def has_file(self, name: str) -> bool:
        """Check if a file exists in the container."""
        return _native.imx_has_file(self, name)

    def list_files(self) -> List[str]:
        """Return all file names in the container."""
        return _native.imx_list_files(self)

    def find_files(self, pattern: str) -> List[str]:
        """Return file names matching a glob pattern."""
        return _native.imx_find_files(self, pattern)

    @property
    def format_version(self) -> int:
        """Return the format version from metadata (2 for v2, 1 for v1, 0 if no metadata)."""
        return _native.imx_format_version(self)

    @property
    def has_metadata(self) -> bool:
        """Whether the container includes manifest.json."""
        return _native.imx_has_metadata(self)

    @property
    def metadata(self) -> Optional[dict]:
        """Parsed manifest.json contents, or None."""
        return _native.imx_metadata(self)

    def __getstate__(self) -> dict:
        """The container as pickle sends it: its path (the table is read again)."""
        return _native.imx_getstate(self)

    def __setstate__(self, state: dict) -> None:
        """Reads the table and manifest of the state's path."""
        return _native.imx_setstate(self, state)


class MP4VideoReader:
    """MP4 frame reader with optional frame caching for ping-pong looping.

    Decodes H.264 sequentially from a file, a byte range of a file (an embedded
    container member) or bytes in memory. Backward access goes through a frame
    cache (for ping-pong playback) or, for videos too large for the cache's 1 GiB
    budget, through keyframe seeking; get(0) seeks back to the start for
    efficient looping. Frame indices after a seek come from the stream's own
    timestamps, so the frame returned is always the frame asked for.

    Thread-safe: concurrent access is serialized via a lock.
    """

    def __init__(self, path: str, key: str = "", thread_count: int = 0, *, base_offset: int = 0,
                 file_size: int = 0, frame_count: int = 0, cache_frames: bool = False) -> None:
        """Initialize MP4 reader from a file or embedded section of an IMX container.

        With base_offset or file_size above 0 the byte range is read in one read and
        decoded from memory; otherwise FFmpeg opens the file itself. A frame_count of
        0 counts the frames: from the demuxer's packets when they make the count
        certain, by decoding once otherwise. cache_frames is granted only when every
        frame fits in 1 GiB. key and thread_count are accepted and ignored. An open
        reader is not initialised again (RuntimeError): close() it first.
        """
        return _native.mp4_init(self, path, key, thread_count, base_offset, file_size, frame_count,
                                cache_frames)

    def _advance_to_frame(self, target_idx: int) -> np.ndarray:
        """Advance decoder to target frame index.

        Cache hit, decoding on from where the decoder stands, or a keyframe seek;
        returns the reader's own current frame (callers copy it). Runs under the
        caller's lock and does no range check; a second thread driving the same
        reader meanwhile is refused with RuntimeError.
        """
        return _native.mp4_advance_to_frame(self, target_idx)

    def get(self, index: int) -> np.ndarray:
        """Get a decoded BGR frame by index (returns a copy).

        Negative indices count from the end.
        """
        return _native.mp4_get(self, index)

    def get_next(self) -> Tuple[int, np.ndarray]:
        """Get the next frame in sequence, looping back to start at end.

        Returns (index, frame copy); after get(k) the next frame is k + 1.
        """
        return _native.mp4_get_next(self)

    def seek_to_start(self) -> None:
        """Reset reader to frame 0 for efficient looping.

        The frame cache is kept.
        """
        return _native.mp4_seek_to_start(self)

    def size(self) -> int:
        """Return total number of frames."""
        return _native.mp4_size(self)

    @property
    def width(self) -> int:
        return _native.mp4_width(self)

    @property
    def height(self) -> int:
        return _native.mp4_height(self)

    def close(self) -> None:
        return _native.mp4_close(self)

    @classmethod
    def from_bytes(cls, mp4_data: bytes, frame_count: int = 0) -> 'MP4VideoReader':
        """Create reader from in-memory H.264 bytes (no frame cache).

        Builds an instance of the class it is called on without running its
        constructor. A buffer other than bytes (bytearray, memoryview, array) is
        copied, so that later changes to it do not reach the reader.
        """
        return _native.mp4_from_bytes(cls, mp4_data, frame_count)

    def __del__(self) -> None:
        return _native.mp4_del(self)

    def __enter__(self) -> 'MP4VideoReader':
        return _native.mp4_enter(self)

    def __exit__(self, *exc) -> None:
        return _native.mp4_exit(self)

    def __getstate__(self) -> dict:
        """The reader as pickle sends it: its source and where it stands.

        A path, or a path with the offset and size of a section, or the bytes of
        from_bytes; the frame count, the cache choice and the current index. No
        decoded frame. A closed reader's state says so.
        """
        return _native.mp4_getstate(self)

    def __setstate__(self, state: dict) -> None:
        """Opens the source a state describes and stands where that reader stood."""
        return _native.mp4_setstate(self, state)
