"""The ASGI application: the page, its static files and the JSON API.

Every request carries the token that the printed URL holds: in the query
(`?token=`), in an `Authorization: token ...` header, or in the cookie that
the first page load sets. Errors come back as `{"error": message}`.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
from importlib import resources
from pathlib import Path

import anyio
import numpy as np
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse
from starlette.routing import Route

from korvex.app import convert, jobs, spectra, work

COOKIE = "korvex_app_token"
STATIC = Path(str(resources.files("korvex.app") / "static"))
_STATIC_FILES = {
    "app.js": "text/javascript",
    "api.js": "text/javascript",
    "schematic.js": "text/javascript",
    "app.css": "text/css",
}


class Json(JSONResponse):
    def render(self, content) -> bytes:
        return super().render(convert.strict(content))


class ApiError(Exception):
    def __init__(self, message: str, status: int = 400):
        super().__init__(message)
        self.status = status


def _plotly_js() -> Path:
    import plotly

    return Path(plotly.__file__).parent / "package_data" / "plotly.min.js"


class TokenCheck:
    """Refuses every request without the token (403), before any work."""

    def __init__(self, app, token: str):
        self.app = app
        self.token = token

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and not self._carries_token(Request(scope)):
            response = Json(
                {"error": "missing or wrong token: open the URL that `korvex app` printed"},
                status_code=403,
            )
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _carries_token(self, request: Request) -> bool:
        header = request.headers.get("authorization", "")
        offered = [
            request.query_params.get("token", ""),
            header[6:] if header.lower().startswith("token ") else "",
            request.cookies.get(COOKIE, ""),
        ]
        return any(o and secrets.compare_digest(o, self.token) for o in offered)


async def _body(request: Request, name: str = "the request") -> bytes:
    """The body, refused (413) past the upload limit before it is all read."""
    refusal = ApiError(f"{name}: larger than {spectra.MAX_UPLOAD // 2**20} MB", 413)
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > spectra.MAX_UPLOAD:
        raise refusal
    data = bytearray()
    async for chunk in request.stream():
        data += chunk
        if len(data) > spectra.MAX_UPLOAD:
            raise refusal
    return bytes(data)


async def _json(request: Request) -> dict:
    try:
        body = json.loads(await _body(request))
    except ValueError:
        raise ApiError("the request body must be a JSON object") from None
    if not isinstance(body, dict):
        raise ApiError("the request body must be a JSON object")
    return body


def create_app(token: str, *, workers: int | None = None) -> Starlette:
    """The application; `workers` processes run the long jobs (default: up to 4)."""
    store = spectra.Store()
    state: dict = {}

    @contextlib.asynccontextmanager
    async def lifespan(app):
        size = workers or max(1, min(4, os.cpu_count() or 1))
        state["pool"] = await anyio.to_thread.run_sync(jobs.Pool, size)
        try:
            yield
        finally:
            state["pool"].close()

    async def run_job(body: dict, name: str, **kwargs):
        job_id = str(body.get("job") or secrets.token_hex(8))
        try:
            return await anyio.to_thread.run_sync(lambda: state["pool"].run(job_id, name, **kwargs))
        except jobs.Cancelled:
            raise ApiError("cancelled", 409) from None
        except jobs.JobError as error:
            raise ApiError(str(error)) from None

    def spectrum_of(body: dict) -> dict:
        try:
            found = store.get(body.get("spectrum"))
        except KeyError as error:
            raise ApiError(error.args[0], 404) from None
        return spectra.cropped(found, body.get("fmin"), body.get("fmax"))

    def fit_arguments(body: dict) -> dict:
        text = body.get("circuit")
        if not isinstance(text, str) or not text.strip():
            raise ApiError("circuit: give a circuit text, e.g. R0-p(R1,CPE1)")
        arguments = {"circuit_text": text, "values": body.get("values") or None}
        for key in ("method", "constants", "bounds", "starts", "options"):
            if body.get(key) is not None:
                arguments[key] = body[key]
        # Checked here so that a typo costs no worker round trip.
        circuit_info(text, arguments["values"])
        return arguments

    async def page(request: Request):
        response = FileResponse(STATIC / "index.html", media_type="text/html")
        response.set_cookie(COOKIE, token, httponly=True, samesite="strict")
        response.headers["cache-control"] = "no-store"
        return response

    async def static(request: Request):
        name = request.path_params["name"]
        if name == "plotly.min.js":
            # 4.6 MB that changes only with the plotly package: cached a day.
            response = FileResponse(_plotly_js(), media_type="text/javascript")
            response.headers["cache-control"] = "max-age=86400"
            return response
        if name not in _STATIC_FILES:
            raise ApiError(f"no file {name!r}", 404)
        return FileResponse(STATIC / name, media_type=_STATIC_FILES[name])

    async def api_index(request: Request):
        return Json({"endpoints": ENDPOINTS})

    async def upload(request: Request):
        if request.headers.get("content-type", "").startswith("application/json"):
            body = await _json(request)
            try:
                sweeps = [
                    spectra.from_arrays(
                        body.get("name", "spectrum"), body.get("f"), body.get("re"), body.get("im")
                    )
                ]
            except ValueError as error:
                raise ApiError(str(error)) from None
            notes = []
        else:
            name = request.query_params.get("name") or "upload.txt"
            data = await _body(request, name)
            try:
                sweeps, notes = await anyio.to_thread.run_sync(spectra.read_bytes, name, data)
            except (OSError, ValueError, KeyError, UnicodeError) as error:
                raise ApiError(f"{name}: {error}") from None
        out = [spectra.public(store.add(s), s) for s in sweeps]
        return Json({"spectra": out, "warnings": notes})

    async def remove(request: Request):
        if not store.remove(request.path_params["spectrum"]):
            raise ApiError("no such spectrum", 404)
        return Json({"removed": True})

    async def circuit(request: Request):
        body = await _json(request)
        return Json(circuit_info(body.get("circuit"), body.get("values") or None))

    async def simulate(request: Request):
        body = await _json(request)
        built = _circuit(body.get("circuit"), body.get("values") or None)
        f = body.get("f")
        if f is None:
            f = np.logspace(-2, 6, 200)
        try:
            z = built.impedance(f)
        except (TypeError, ValueError) as error:
            raise ApiError(f"f: {error}") from None
        return Json(convert.curve(f, z))

    async def kk(request: Request):
        body = await _json(request)
        return Json(await run_job(body, "kk", spectrum=spectrum_of(body)))

    async def drt(request: Request):
        body = await _json(request)
        return Json(await run_job(body, "drt", spectrum=spectrum_of(body)))

    async def identify(request: Request):
        body = await _json(request)
        candidates = body.get("candidates") or None
        ranking = await run_job(body, "identify", spectrum=spectrum_of(body), candidates=candidates)
        return Json({"ranking": ranking})

    async def fit(request: Request):
        body = await _json(request)
        arguments = fit_arguments(body)
        return Json(await run_job(body, "fit", spectrum=spectrum_of(body), **arguments))

    async def fit_many(request: Request):
        body = await _json(request)
        ids = body.get("spectra")
        if not isinstance(ids, list) or not ids:
            raise ApiError("spectra: give a list of spectrum ids")
        chosen = [spectrum_of({**body, "spectrum": i}) for i in ids]
        arguments = fit_arguments(body)
        results = await run_job(
            body, "fit_many", spectra=chosen, chain=bool(body.get("chain")), **arguments
        )
        return Json({"results": results})

    async def job_status(request: Request):
        job = state["pool"].job(request.path_params["job"])
        if job is None:
            raise ApiError("no such job running", 404)
        done, total = job.progress or (0, 0)
        return Json({"job": job.id, "done": done, "total": total})

    async def cancel(request: Request):
        if not state["pool"].cancel(request.path_params["job"]):
            raise ApiError("no such job running", 404)
        return Json({"cancelled": True})

    async def api_error(request: Request, error: ApiError):
        return Json({"error": str(error)}, status_code=error.status)

    async def value_error(request: Request, error: ValueError):
        return Json({"error": str(error)}, status_code=400)

    async def server_error(request: Request, error: Exception):
        return Json({"error": f"{type(error).__name__}: {error}"}, status_code=500)

    routes = [
        Route("/", page),
        Route("/static/{name}", static),
        Route("/api/", api_index),
        Route("/api/spectra", upload, methods=["POST"]),
        Route("/api/spectra/{spectrum}", remove, methods=["DELETE"]),
        Route("/api/circuit", circuit, methods=["POST"]),
        Route("/api/simulate", simulate, methods=["POST"]),
        Route("/api/kk", kk, methods=["POST"]),
        Route("/api/drt", drt, methods=["POST"]),
        Route("/api/identify", identify, methods=["POST"]),
        Route("/api/fit", fit, methods=["POST"]),
        Route("/api/fit_many", fit_many, methods=["POST"]),
        Route("/api/jobs/{job}", job_status),
        Route("/api/jobs/{job}", cancel, methods=["DELETE"]),
    ]
    return Starlette(
        routes=routes,
        middleware=[Middleware(TokenCheck, token=token)],
        exception_handlers={ApiError: api_error, ValueError: value_error, Exception: server_error},
        lifespan=lifespan,
    )


def _circuit(text, values=None):
    if not isinstance(text, str) or not text.strip():
        raise ApiError("circuit: give a circuit text, e.g. R0-p(R1,CPE1)")
    try:
        return work.circuit(text, values)
    except (ValueError, KeyError, TypeError) as error:
        raise ApiError(str(error)) from None


def circuit_info(text, values=None) -> dict:
    """The parsed circuit's parameters, or ApiError with the parser's message."""
    built = _circuit(text, values)
    bounds = built.param_bounds()
    return {
        "text": built.text,
        "names": built.param_names(),
        "units": built.param_units(),
        "values": built.param_values(),
        "bounds": [list(pair) for pair in bounds],
        "models": korvex_models(),
    }


def korvex_models() -> list[str]:
    import korvex

    return list(korvex.Circuit.ml_circuits())


ENDPOINTS = {
    "GET /api/": "this list",
    "POST /api/spectra?name=FILE": "file bytes as the body (any format korvex.read reads), "
    "or JSON {name, f, re, im}; returns {spectra: [{id, name, f, re, im, meta}], warnings}",
    "DELETE /api/spectra/{id}": "forget a spectrum",
    "POST /api/circuit": "{circuit, values?}: names, units, bounds and values, or the parser's error",
    "POST /api/simulate": "{circuit, values, f}: the model's impedance {f, re, im}",
    "POST /api/kk": "{spectrum, fmin?, fmax?, job?}: Kramers-Kronig test",
    "POST /api/drt": "{spectrum, fmin?, fmax?, job?}: distribution of relaxation times and peaks",
    "POST /api/identify": "{spectrum, candidates?, job?}: candidate circuits ranked",
    "POST /api/fit": "{spectrum, circuit, values?, constants?, bounds?, method?, starts?, "
    "options?, fmin?, fmax?, job?}: the fit (result: FitResult.to_dict()) and its model curve",
    "POST /api/fit_many": "{spectra: [id], circuit, chain?, ...as fit}: one fit per spectrum",
    "GET /api/jobs/{job}": "progress of a running job {done, total}",
    "DELETE /api/jobs/{job}": "cancel a running job (its request answers 409)",
}
