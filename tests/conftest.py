"""Shared fixtures: generated videos (plain, with B-frames, encrypted) and bad media."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import media

DEFAULT_KEY = b"mqtlepoz_ardwe_hunk_zyx"


def xor_reference(data: bytes, key: bytes, start: int = 0) -> bytes:
    """Independent NumPy formulation of the repeating-key stream."""
    arr = np.frombuffer(data, dtype=np.uint8)
    k = np.frombuffer(key, dtype=np.uint8)
    idx = (np.arange(len(arr), dtype=np.int64) + start) % len(k)
    return (arr ^ k[idx]).tobytes()


@dataclass
class Video:
    path: Path
    n_frames: int
    width: int
    height: int
    gop: int
    bframes: int
    frames: list  # PyAV's own decode, BGR

    @property
    def data(self) -> bytes:
        return self.path.read_bytes()


def _make(directory: Path, name: str, n_frames: int, **kw) -> Video:
    path = directory / name
    media.encode_h264(str(path), n_frames, **kw)
    frames = media.pyav_frames(str(path))
    return Video(path, len(frames), kw.get("width", 64), kw.get("height", 48),
                 kw.get("gop", 10), kw.get("bframes", 0), frames)


@pytest.fixture(scope="session")
def media_dir(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("media")


@pytest.fixture(scope="session")
def video(media_dir) -> Video:
    """64x48, 30 frames, a keyframe every 10 frames, no B-frames."""
    return _make(media_dir, "plain.mp4", 30, gop=10)


@pytest.fixture(scope="session")
def video_bframes(media_dir) -> Video:
    """64x48, 30 frames, a keyframe every 10 frames, up to 2 B-frames."""
    return _make(media_dir, "bframes.mp4", 30, gop=10, bframes=2)


@pytest.fixture(scope="session")
def video_160(media_dir) -> Video:
    """160x120, 60 frames, a keyframe every 12 frames."""
    return _make(media_dir, "v160.mp4", 60, width=160, height=120, gop=12)


@pytest.fixture(scope="session", params=["plain", "bframes"])
def any_video(request, video, video_bframes) -> Video:
    return video if request.param == "plain" else video_bframes


@pytest.fixture(scope="session")
def encrypted_video(media_dir, video) -> Path:
    """The plain video XOR-encrypted with the default key."""
    path = media_dir / "plain.vrtensor"
    path.write_bytes(xor_reference(video.data, DEFAULT_KEY))
    return path


@pytest.fixture(scope="session")
def encrypted_video_custom_key(media_dir, video) -> tuple[Path, str]:
    """The plain video encrypted with a non-ASCII text key (UTF-8 bytes)."""
    key = "schlüssel-ключ"
    path = media_dir / "custom.vrtensor"
    path.write_bytes(xor_reference(video.data, key.encode("utf-8")))
    return path, key


@pytest.fixture(scope="session")
def audio_only(media_dir) -> Path:
    path = media_dir / "audio_only.mp4"
    media.write_audio_only(path)
    return path


@pytest.fixture(scope="session")
def not_media(media_dir) -> Path:
    path = media_dir / "not_media.mp4"
    path.write_bytes(np.random.default_rng(7).integers(0, 256, 4096, dtype=np.uint8).tobytes())
    return path
