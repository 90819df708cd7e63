/// Image tools that run in the app's native code: an image's size and orientation without
/// decoding it, a finished render of a photo (crop, quarter turns, strokes, blur brushes and a
/// watermark) written as a JPEG or PNG under a byte limit, and PNG previews of windows of a
/// long image.
///
/// Every call goes over the method channel `velmo/image_tools`. A failure is a
/// [PlatformException] whose code is [argumentsErrorCode] or [processingErrorCode], with the
/// plug-in's message; a file that cannot be written gives the file system's reason as the
/// message. On a platform without the plug-in, calls throw [MissingPluginException].
library velmo_image_tools;

import 'dart:ui' show Offset;

import 'package:flutter/services.dart';

/// The error code of a call whose arguments are not a map with string keys.
const String argumentsErrorCode = 'PHOTO_ARGUMENTS';

/// The error code of every other failure.
const String processingErrorCode = 'PHOTO_PROCESSING';

/// The plug-in's three methods.
class VelmoImageTools {
  /// Talks to the plug-in over [channel], by default the plug-in's own channel.
  const VelmoImageTools({MethodChannel channel = const MethodChannel('velmo/image_tools')})
      : _channel = channel;

  final MethodChannel _channel;

  /// The displayed size, frame count and stored EXIF orientation of the image at [path],
  /// read without decoding a pixel.
  Future<ImageInfo> metadata(String path) async {
    final Map<String, Object?>? result =
        await _channel.invokeMapMethod<String, Object?>('metadata', <String, Object?>{
      'path': path,
    });
    return ImageInfo._fromMap(result!);
  }

  /// Renders the photo at [path] into a [width] x [height] picture following [recipe], and
  /// writes it at [destination] plus `.jpg` (a photo without alpha) or `.png`.
  ///
  /// The recipe's strokes and crop are in fractions of the photo as displayed; its watermark
  /// is laid out in a reference space of [referenceWidth] x [referenceHeight] (by default
  /// the output size), so that it looks the same at every output size. A JPEG is kept under
  /// [maxFileBytes] (by default 8 MiB).
  Future<FileResult> render({
    required String path,
    required String destination,
    required int width,
    required int height,
    RenderRecipe recipe = const RenderRecipe(),
    double? referenceWidth,
    double? referenceHeight,
    int? maxFileBytes,
  }) async {
    final Map<String, Object?>? result =
        await _channel.invokeMapMethod<String, Object?>('render', <String, Object?>{
      'path': path,
      'destination': destination,
      'width': width,
      'height': height,
      'recipe': recipe._toMap(),
      if (referenceWidth != null) 'referenceWidth': referenceWidth,
      if (referenceHeight != null) 'referenceHeight': referenceHeight,
      if (maxFileBytes != null) 'maxFileBytes': maxFileBytes,
    });
    return FileResult._fromMap(result!);
  }

  /// A PNG preview of the window [x], [y], [width] x [height] (in pixels of the stored image)
  /// of the long image at [path], shrunk by [sample] (source pixels per preview pixel), written
  /// at [destination] plus `.png`. A file already there is answered as it is.
  Future<FileResult> tile({
    required String path,
    required String destination,
    required int x,
    required int y,
    required int width,
    required int height,
    int sample = 1,
  }) async {
    final Map<String, Object?>? result =
        await _channel.invokeMapMethod<String, Object?>('tile', <String, Object?>{
      'path': path,
      'destination': destination,
      'x': x,
      'y': y,
      'width': width,
      'height': height,
      'sample': sample,
    });
    return FileResult._fromMap(result!);
  }
}

/// What [VelmoImageTools.metadata] tells of an image.
class ImageInfo {
  const ImageInfo({
    required this.width,
    required this.height,
    required this.frames,
    required this.orientation,
  });

  ImageInfo._fromMap(Map<String, Object?> map)
      : width = map['width']! as int,
        height = map['height']! as int,
        frames = map['frames']! as int,
        orientation = map['orientation']! as int;

  /// The displayed width: the stored height for EXIF orientations 5 to 8.
  final int width;

  /// The displayed height.
  final int height;

  /// The number of images in the file (more than one for an animation).
  final int frames;

  /// The EXIF orientation as stored, 1 to 8.
  final int orientation;

  @override
  String toString() => 'ImageInfo($width x $height, $frames frames, orientation $orientation)';
}

/// A file written by [VelmoImageTools.render] or [VelmoImageTools.tile].
class FileResult {
  const FileResult({
    required this.path,
    required this.filename,
    required this.mimeType,
    required this.width,
    required this.height,
    required this.byteSize,
  });

  FileResult._fromMap(Map<String, Object?> map)
      : path = map['path']! as String,
        filename = map['filename']! as String,
        mimeType = map['mimeType']! as String,
        width = map['width']! as int,
        height = map['height']! as int,
        byteSize = map['byteSize']! as int;

  /// The file's full path: the destination plus its extension.
  final String path;

  /// The last component of [path].
  final String filename;

  /// `image/jpeg` or `image/png`.
  final String mimeType;

  /// The picture's width in pixels.
  final int width;

  /// The picture's height in pixels.
  final int height;

  /// The file's size in bytes.
  final int byteSize;

  @override
  String toString() => 'FileResult($path, $mimeType, $width x $height, $byteSize bytes)';
}

/// The region of the photo a render keeps, in fractions of the photo as displayed (after its
/// EXIF orientation and the recipe's quarter turns).
class CropRect {
  const CropRect(this.left, this.top, this.width, this.height);

  /// The whole photo.
  static const CropRect full = CropRect(0, 0, 1, 1);

  final double left;
  final double top;
  final double width;
  final double height;
}

/// What a render does to the photo, in the order it is done: turn, crop, stretch to the
/// output size, draw the strokes, put the watermark on.
class RenderRecipe {
  const RenderRecipe({
    this.crop = CropRect.full,
    this.quarterTurns = 0,
    this.strokes = const <Stroke>[],
    this.watermark,
  });

  /// The region kept.
  final CropRect crop;

  /// Clockwise quarter turns; any integer, taken modulo four.
  final int quarterTurns;

  /// Drawn in order, a later stroke over an earlier one.
  final List<Stroke> strokes;

  /// The text put on the picture, or none.
  final Watermark? watermark;

  Map<String, Object?> _toMap() => <String, Object?>{
        'crop': <double>[crop.left, crop.top, crop.width, crop.height],
        'quarterTurns': quarterTurns,
        'strokes': <Map<String, Object?>>[for (final Stroke stroke in strokes) stroke._toMap()],
        if (watermark != null) 'watermark': watermark!._toMap(),
      };
}

/// The figure a [Stroke] draws.
enum StrokeShape {
  /// A line through every point (a dot for one point).
  freehand('freehand'),

  /// The outline of the box spanned by the first and last points.
  rectangle('rectangle'),

  /// The outline of the ellipse inscribed in that box.
  ellipse('circle'),

  /// A straight line from the first point to the last.
  line('line'),

  /// A straight line from the first point to the last, with a head at the last.
  arrow('arrow'),

  /// A blur brush: a coarse blurred copy of the photo painted along the points.
  blur('blur');

  const StrokeShape(this._name);

  final String _name;
}

/// One annotation drawn over the photo.
class Stroke {
  const Stroke({
    required this.points,
    this.shape = StrokeShape.freehand,
    this.color = 0xFFFFFFFF,
    this.widthFraction = 0.006,
  });

  /// A blur brush along [points].
  const Stroke.blur({required this.points, this.widthFraction = 0.006})
      : shape = StrokeShape.blur,
        color = 0xFFFFFFFF;

  /// In fractions of the photo as displayed: `Offset(0, 0)` is its top-left corner,
  /// `Offset(1, 1)` its bottom-right; points outside are allowed.
  final List<Offset> points;

  final StrokeShape shape;

  /// 0xAARRGGBB (a blur brush ignores it).
  final int color;

  /// The brush width as a fraction of the photo's shorter side.
  final double widthFraction;

  Map<String, Object?> _toMap() => <String, Object?>{
        'points': <List<double>>[
          for (final Offset point in points) <double>[point.dx, point.dy],
        ],
        'colorARGB': color,
        'widthFraction': widthFraction,
        'shape': shape._name,
      };
}

/// How a [Watermark] is laid out.
enum WatermarkStyle {
  /// The text repeated in staggered rows over the whole picture, rising at 30 degrees; uses
  /// [Watermark.opacity] and [Watermark.density].
  diagonalRepeat('diagonalRepeat'),

  /// The text in a rounded box at the bottom-right corner, filled with the diagonal gradient
  /// of [Watermark.gradientColors] (translucent black with fewer than two colours).
  cornerStamp('cornerStamp'),

  /// The text in a translucent black box at the bottom-right corner.
  minimalSignature('minimalSignature');

  const WatermarkStyle(this._name);

  final String _name;
}

/// Text put on the rendered picture.
class Watermark {
  const Watermark({
    required this.text,
    this.style = WatermarkStyle.minimalSignature,
    this.opacity = 0.12,
    this.density = 1.0,
    this.gradientColors = const <int>[],
  });

  /// Drawn only when not empty.
  final String text;

  final WatermarkStyle style;

  /// The text's opacity for [WatermarkStyle.diagonalRepeat], kept within 0.04 to 0.3.
  final double opacity;

  /// How closely [WatermarkStyle.diagonalRepeat] repeats the text, kept within 0.6 to 1.8.
  final double density;

  /// 0xAARRGGBB colours of the [WatermarkStyle.cornerStamp] box, two or more.
  final List<int> gradientColors;

  Map<String, Object?> _toMap() => <String, Object?>{
        'enabled': true,
        'text': text,
        'style': style._name,
        'opacity': opacity,
        'density': density,
        if (gradientColors.isNotEmpty) 'gradientColors': gradientColors,
      };
}
